#pragma once

#include "yaml/parser.hpp"
#include "yaml/stored_document.hpp"

#include <cstddef>
#include <optional>
#include <string_view>

namespace corvane::yaml {

class Cursor;

// Whether a Loader keeps a document's events: where aliases may need them,
// or always (which reads every document the same way, only slower).
enum class Retention { AsNeeded, Always };

// The state of reading one document: where the reading stands, the parse
// behind it, and the budget of alias expansions. Cursors read through it.
//
// A text without a "*" holds no alias, so nothing ever needs to be read
// twice: its events are read as libyaml parses them and dropped at once,
// and memory stays flat however long the document. A text that may hold
// aliases is parsed whole first and its events kept, so that an alias can
// replay its anchored node. A text the fast path reads holds no alias (a "*"
// of it is in a comment or inside a scalar).
class Loader {
  public:
    explicit Loader(std::string_view text, Retention retention = Retention::AsNeeded,
                    FastPath fast_path = FastPath::Allowed);
    Loader(const Loader &) = delete;
    Loader &operator=(const Loader &) = delete;

    // Reads the document's root node with read(Cursor&), then checks that
    // nothing but the end of the stream follows it.
    template <class Read> [[nodiscard]] Failure read_document(const Path &root, Read &&read);

  private:
    friend class Cursor;

    // The event at the main position (replay null) or at *replay, a position
    // in the stored document; or the failure that stands in its place. A
    // stored event is written to `view`; `event` is valid until the next call.
    // The event parsed ahead (a reader peeks at an event several times before
    // it moves past it) and the fast path's keys and values are inline.
    [[nodiscard]] Failure peek(const std::size_t *replay, Event &view, const Event *&event) {
        if (has_ahead_ || (!stored_ && parser_.next_scalar(ahead_))) {
            has_ahead_ = true;
            event = &ahead_;
            return {};
        }
        return peek_further(replay, view, event);
    }
    [[nodiscard]] Failure peek_further(const std::size_t *replay, Event &view, const Event *&event);
    // Moves past the event peek() just gave.
    void advance(std::size_t *replay) {
        if (!stored_) {
            has_ahead_ = false;
            ++consumed_;
        } else if (replay)
            ++*replay;
        else
            ++position_;
    }
    // Counts one expansion of the alias to the node whose first event is at
    // `target`; false past the document's budget of expansions or of
    // replayed events.
    [[nodiscard]] bool count_expansion(std::size_t target);
    // Streamed: how many events were consumed, and how deep those nest.
    std::size_t consumed() const { return consumed_; }
    int consumed_depth() const;
    // Whether event texts stay valid after the next event is read.
    bool texts_are_stored() const { return stored_.has_value(); }
    // The index in the stored document of the next event at the main
    // position (replay null) or at *replay; throws without a stored document.
    std::size_t stored_position(const std::size_t *replay) const;

    [[nodiscard]] Failure stored_event(std::size_t index, Event &view) const;
    [[nodiscard]] Failure finish();

    Parser parser_;
    std::optional<StoredDocument> stored_;
    std::size_t position_ = 0; // in the stored document
    std::size_t expansions_ = 0;
    std::size_t replayed_ = 0; // events of the nodes expansions named
    // Streamed (never with a stored document): the event parsed ahead by
    // peek() and not yet consumed.
    Event ahead_;
    bool has_ahead_ = false;
    std::size_t consumed_ = 0;
    bool void_given_ = false;
};

} // namespace corvane::yaml

#include "yaml/cursor.hpp"

namespace corvane::yaml {

// A cursor's steps, inline: they run once or more for every event read.
inline Failure Cursor::peek(const Event *&event) const {
    return loader_.peek(replay_, view_, event);
}

inline void Cursor::advance() {
    loader_.advance(replay_);
}

inline Failure Cursor::next(const Event *&event) {
    if (Failure failure = peek(event))
        return failure;
    advance();
    return {};
}

inline bool Cursor::texts_are_stored() const {
    return loader_.texts_are_stored();
}

template <class Read> Failure Loader::read_document(const Path &root, Read &&read) {
    Cursor cursor(*this, nullptr, root, kRecursionLimit);
    if (Failure failure = read(cursor))
        return failure;
    return finish();
}

} // namespace corvane::yaml
