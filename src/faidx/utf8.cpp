#include "faidx/utf8.hpp"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sekvo {

namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

inline std::uint64_t load64(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Length of the character a lead byte starts, 0 for a byte that cannot lead.
inline std::size_t sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// Whether byte `index` (1..3) of the character led by `lead` may be `byte`;
// the second byte carries the limits against overlong forms, surrogates and
// code points above U+10FFFF.
inline bool continuation_ok(unsigned char lead, std::size_t index, unsigned char byte) {
    if (index == 1) {
        switch (lead) {
            case 0xE0: return byte >= 0xA0 && byte <= 0xBF;
            case 0xED: return byte >= 0x80 && byte <= 0x9F;
            case 0xF0: return byte >= 0x90 && byte <= 0xBF;
            case 0xF4: return byte >= 0x80 && byte <= 0x8F;
            default: break;
        }
    }
    return (byte & 0xC0) == 0x80;
}

}  // namespace

Utf8Check check_utf8_prefix(const unsigned char* data, std::size_t size) {
    const unsigned char* p = data;
    const unsigned char* const end = data + size;
    while (p < end) {
        // ASCII fast path: 64 bytes per step, then 32, then single words.
#if defined(__SSE2__)
        while (end - p >= 64) {
            const auto* block = reinterpret_cast<const __m128i*>(p);
            const __m128i any = _mm_or_si128(_mm_or_si128(_mm_loadu_si128(block), _mm_loadu_si128(block + 1)),
                                             _mm_or_si128(_mm_loadu_si128(block + 2), _mm_loadu_si128(block + 3)));
            if (_mm_movemask_epi8(any) != 0) break;
            p += 64;
        }
#endif
        while (end - p >= 32) {
            std::uint64_t any = load64(p) | load64(p + 8) | load64(p + 16) | load64(p + 24);
            if (any & kHighBits) break;
            p += 32;
        }
        while (end - p >= 8 && (load64(p) & kHighBits) == 0) p += 8;
        if (p == end) break;
        unsigned char lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        std::size_t length = sequence_length(lead);
        if (length == 0) return {false, 0};
        std::size_t available = static_cast<std::size_t>(end - p);
        std::size_t present = length < available ? length : available;
        for (std::size_t i = 1; i < present; ++i)
            if (!continuation_ok(lead, i, p[i])) return {false, 0};
        if (present < length) return {true, present};
        p += length;
    }
    return {true, 0};
}

bool Utf8StreamValidator::feed(const unsigned char* data, std::size_t size) {
    if (pending_size_ > 0) {
        // Complete the character left unfinished by the previous piece.
        std::size_t length = sequence_length(pending_[0]);
        std::size_t take = length - pending_size_;
        if (take > size) take = size;
        std::memcpy(pending_ + pending_size_, data, take);
        Utf8Check check = check_utf8_prefix(pending_, pending_size_ + take);
        if (!check.valid) return false;
        data += take;
        size -= take;
        if (check.tail_size > 0) {
            pending_size_ += take;
            return true;  // the piece ended before the character did
        }
        pending_size_ = 0;
    }
    Utf8Check check = check_utf8_prefix(data, size);
    if (!check.valid) return false;
    std::memcpy(pending_, data + size - check.tail_size, check.tail_size);
    pending_size_ = check.tail_size;
    return true;
}

}  // namespace sekvo
