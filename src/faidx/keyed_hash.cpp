#include "faidx/keyed_hash.hpp"

#include <sys/random.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>

namespace sekvo {

namespace {

inline std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    void round() {
        v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
        v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
    }
    void absorb(std::uint64_t m) {
        v3 ^= m;
        round();
        v0 ^= m;
    }
};

inline std::uint64_t load_le64(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

bool fill_from_os(void* buffer, std::size_t size) {
    auto* out = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        ssize_t got = getrandom(out + done, size - done, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace

HashKey HashKey::random() {
    HashKey key;
    std::uint64_t words[2];
    if (fill_from_os(words, sizeof words)) {
        key.k0 = words[0];
        key.k1 = words[1];
        return key;
    }
    // No getrandom (very old kernel, seccomp): still seed unpredictably.
    std::random_device device;
    auto now = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    key.k0 = (std::uint64_t{device()} << 32 | device()) ^ now;
    key.k1 = (std::uint64_t{device()} << 32 | device()) ^ reinterpret_cast<std::uintptr_t>(&key);
    return key;
}

std::uint64_t siphash13(const HashKey& key, std::string_view data) {
    SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
               key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    const std::size_t n = data.size();
    const std::size_t whole = n & ~std::size_t{7};
    for (std::size_t i = 0; i < whole; i += 8) s.absorb(load_le64(p + i));

    std::uint64_t last = static_cast<std::uint64_t>(n) << 56;
    for (std::size_t i = whole; i < n; ++i) last |= std::uint64_t{p[i]} << (8 * (i - whole));
    s.absorb(last);

    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace sekvo
