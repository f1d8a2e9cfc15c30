// Lines of a text that arrives in pieces of any size (reads of a file or a
// pipe), so that a file of any length is read in bounded memory: a line cut
// by a piece's end is kept until a later piece (or finish()) completes it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sekvo {

class LineSplitter {
public:
    // The next piece; the lines of the previous one must all have been taken.
    void feed(std::string_view piece) { rest_ = piece; }

    // The next whole line of what was fed, without its line feed; false once
    // the piece is used up (its unfinished last line is kept). The line stays
    // valid until the next call or feed().
    bool next(std::string_view& line);

    // At the end of the input, once next() returned false: the last line
    // when it has no line feed.
    bool finish(std::string_view& line);

    // Lines handed out so far: the number of the last one.
    std::uint64_t lines() const { return lines_; }

private:
    std::string_view rest_;  // the part of the piece not yet split
    std::string carried_;    // an unfinished line from earlier pieces
    bool joined_ = false;    // carried_ was handed out and is to be dropped
    std::uint64_t lines_ = 0;
};

}  // namespace sekvo
