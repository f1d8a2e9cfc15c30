// The residues of a sequence value: bytes the value owns, or a buffer lent
// by an outside owner. The Python layer lends the storage of a str it made
// for the purpose, so that a fetched text reaches Python without a second
// copy; the owner is released when the value lets go of the buffer.
#pragma once

#include <cstddef>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace sekvo {

class Residues {
public:
    using Release = void (*)(void* owner) noexcept;

    Residues() { new (&owned_) std::string(); }
    Residues(std::string text) { new (&owned_) std::string(std::move(text)); }  // NOLINT: implicit on purpose
    Residues(std::string_view text) { new (&owned_) std::string(text); }        // NOLINT
    Residues(const char* text) { new (&owned_) std::string(text); }             // NOLINT

    // `data` must stay valid and unchanged by others until `release(owner)`.
    static Residues lend(char* data, std::size_t size, void* owner, Release release) {
        Residues residues;
        residues.owned_.~basic_string();
        new (&residues.lent_) Lent{data, size, owner, release};
        residues.is_lent_ = true;
        return residues;
    }

    // Copies are always owned: a lender's buffer has one holder.
    Residues(const Residues& other) { new (&owned_) std::string(other.view()); }
    Residues& operator=(const Residues& other) {
        if (this != &other) *this = Residues(other);
        return *this;
    }
    Residues(Residues&& other) noexcept { take_from(other); }
    Residues& operator=(Residues&& other) noexcept {
        if (this != &other) {
            destroy();
            take_from(other);
        }
        return *this;
    }
    ~Residues() { destroy(); }

    std::string_view view() const {
        return is_lent_ ? std::string_view(lent_.data, lent_.size) : std::string_view(owned_);
    }
    operator std::string_view() const { return view(); }  // NOLINT
    const char* data() const { return view().data(); }
    std::size_t size() const { return view().size(); }
    bool empty() const { return size() == 0; }
    char operator[](std::size_t i) const { return data()[i]; }
    const char* begin() const { return data(); }
    const char* end() const { return data() + size(); }

    // Writable bytes: for transforms applied before the value is shared (a
    // lent buffer must not change once its owner has been handed out).
    char* mutable_data() { return is_lent_ ? lent_.data : owned_.data(); }

    // The lender's object and release function, or null for owned bytes.
    void* owner() const { return is_lent_ ? lent_.owner : nullptr; }
    Release releaser() const { return is_lent_ ? lent_.release : nullptr; }

    void clear() { *this = Residues(); }

    friend bool operator==(const Residues& a, std::string_view b) { return a.view() == b; }

private:
    struct Lent {
        char* data;
        std::size_t size;
        void* owner;
        Release release;
    };

    void destroy() noexcept {
        if (is_lent_) {
            lent_.release(lent_.owner);
            lent_.~Lent();
        } else {
            owned_.~basic_string();
        }
    }
    // Leaves `other` empty and owned.
    void take_from(Residues& other) noexcept {
        is_lent_ = other.is_lent_;
        if (is_lent_) {
            new (&lent_) Lent(other.lent_);
            other.lent_.~Lent();
            new (&other.owned_) std::string();
            other.is_lent_ = false;
        } else {
            new (&owned_) std::string(std::move(other.owned_));
        }
    }

    union {
        std::string owned_;
        Lent lent_;
    };
    bool is_lent_ = false;
};

}  // namespace sekvo
