// The text of a FASTA file read from somewhere other than the mapping or
// the plain file: handed out in consecutive pieces, so the residue copy can
// run over it exactly as over the file's own bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "common/error.hpp"

namespace sekvo {

// Takes one piece; returns false once it wants no more.
using PieceVisitor = std::function<bool(const unsigned char* piece, std::size_t size)>;

struct Piece {
    const unsigned char* data;
    std::size_t size;
};
// Takes consecutive pieces, valid during the call; returns false once it
// wants no more.
using WindowVisitor = std::function<bool(const std::vector<Piece>& pieces)>;
// Takes the piece that starts at text offset `offset`. May run on several
// threads at once; returns false when the piece is not what was expected.
using OffsetPieceVisitor = std::function<bool(std::uint64_t offset, const unsigned char* piece, std::size_t size)>;

class UncompressedSource {
public:
    virtual ~UncompressedSource() = default;
    // Bytes of text in all.
    virtual std::uint64_t size() const = 0;
    // Calls visit on consecutive pieces that together are the text's bytes
    // [begin, end) (end <= size()), in order, until it returns false.
    virtual std::optional<Error> read_pieces(std::uint64_t begin, std::uint64_t end,
                                             const PieceVisitor& visit) const = 0;
    // The same a window of many pieces at a time, so that long reads can be
    // copied in parallel.
    virtual std::optional<Error> read_windows(std::uint64_t begin, std::uint64_t end,
                                              const WindowVisitor& visit) const = 0;
    // Hands consecutive pieces that together are [begin, end) to visit on
    // the worker pool, in no set order, each piece visited on the thread
    // that produced it while it is still in that core's cache. True when
    // every piece was visited and accepted; false when a visit refused its
    // piece, a piece could not be read, or the source cannot do this now:
    // the caller then reads in order, which reports any error.
    virtual bool visit_in_parallel(std::uint64_t begin, std::uint64_t end, const OffsetPieceVisitor& visit) const = 0;
};

}  // namespace sekvo
