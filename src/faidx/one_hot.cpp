#include "faidx/one_hot.hpp"

#include <array>
#include <cctype>
#include <new>

#include "faidx/worker_pool.hpp"

namespace sekvo {

namespace {

constexpr unsigned char kNoLetter = 0xff;

std::array<unsigned char, 256> letter_numbers(std::string_view alphabet) {
    std::array<unsigned char, 256> numbers;
    numbers.fill(kNoLetter);
    for (std::size_t k = 0; k < alphabet.size(); ++k) {
        const auto c = static_cast<unsigned char>(alphabet[k]);
        numbers[std::tolower(c)] = static_cast<unsigned char>(k);
        numbers[std::toupper(c)] = static_cast<unsigned char>(k);
    }
    return numbers;
}

}  // namespace

std::optional<std::string> one_hot_alphabet_problem(std::string_view alphabet) {
    if (alphabet.empty()) return "alphabet must not be empty";
    std::array<bool, 256> seen{};
    for (char letter : alphabet) {
        const auto c = static_cast<unsigned char>(letter);
        if (c >= 0x80) return "alphabet must be ASCII";
        const auto folded = static_cast<unsigned char>(std::toupper(c));
        if (seen[folded]) return std::string("alphabet has the letter '") + letter + "' twice";
        seen[folded] = true;
    }
    return std::nullopt;
}

ByteBuffer one_hot(const ColumnarBatch& batch, std::size_t length, std::string_view alphabet) {
    const std::size_t n = batch.size();
    const std::size_t k = alphabet.size();
    std::size_t row = 0;
    std::size_t total = 0;
    if (__builtin_mul_overflow(length, k, &row) || __builtin_mul_overflow(row, n, &total)) throw std::bad_alloc();
    ByteBuffer out(total, ByteBuffer::zeroed);
    const std::array<unsigned char, 256> numbers = letter_numbers(alphabet);
    auto encode = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            const auto* residues = reinterpret_cast<const unsigned char*>(batch.residues.data() + batch.offsets[i]);
            unsigned char* rows = reinterpret_cast<unsigned char*>(out.data()) + i * row;
            for (std::size_t j = 0; j < length; ++j) {
                const unsigned char letter = numbers[residues[j]];
                if (letter != kNoLetter) rows[j * k + letter] = 1;
            }
        }
    };
    if (n < 64) encode(0, n);
    else parallel_for_each_chunk(n, ChunkWork(encode));
    return out;
}

}  // namespace sekvo
