// A keyed hash for the name table: SipHash-1-3 with a secret 128-bit key,
// so names chosen to collide under a known hash cannot slow lookups down.
#pragma once

#include <cstdint>
#include <string_view>

namespace sekvo {

struct HashKey {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;

    // A fresh key from the operating system's random source.
    static HashKey random();
};

std::uint64_t siphash13(const HashKey& key, std::string_view data);

struct KeyedStringHash {
    HashKey key;
    std::size_t operator()(std::string_view text) const {
        return static_cast<std::size_t>(siphash13(key, text));
    }
};

}  // namespace sekvo
