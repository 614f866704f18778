#include "yaml/loader.hpp"

#include <stdexcept>

namespace corvane::yaml {
namespace {

// Alias expansions allowed per event of the document.
constexpr std::size_t kRepetitionFactor = 100;
// Events replayed through aliases allowed per event of the document, beyond
// a fixed allowance: each expansion counts every event of the node it names
// (an alias inside counting one), so a read walks at most that many events
// more than the document holds. A manifest whose readers each alias a block
// of all twenty settings replays 21 events per event of its own; the
// allowance covers that up to about 60,000 readers, while a text under 1 MB
// (at most about a million events) replays at most about 6 million.
constexpr std::size_t kReplayFactor = 4;
constexpr std::size_t kReplayAllowance = std::size_t{1} << 21;

bool may_hold_aliases(std::string_view text) {
    return text.find('*') != std::string_view::npos;
}

} // namespace

Loader::Loader(std::string_view text, Retention retention, FastPath fast_path)
    : parser_(text, fast_path) {
    if (retention == Retention::Always || (!parser_.took_fast_path() && may_hold_aliases(text)))
        stored_.emplace(parser_, text.size());
}

Failure Loader::stored_event(std::size_t index, Event &view) const {
    if (index < stored_->size()) {
        view = stored_->event(index);
        return {};
    }
    if (stored_->error())
        return stored_->error();
    return Error::of_kind(Error::Kind::EndOfStream);
}

Failure Loader::peek_further(const std::size_t *replay, Event &view, const Event *&event) {
    if (stored_) {
        event = &view;
        return stored_event(replay ? *replay : position_, view);
    }
    if (!has_ahead_) {
        bool more = false;
        if (Failure failure = parser_.next(ahead_, more))
            return failure;
        if (!more) {
            // The document's end. An empty stream reads as one Void event.
            if (void_given_ || !parser_.stream_was_empty())
                return Error::of_kind(Error::Kind::EndOfStream);
            ahead_ = Event{};
            void_given_ = true;
        }
        has_ahead_ = true;
    }
    event = &ahead_;
    return {};
}

int Loader::consumed_depth() const {
    int depth = parser_.depth(); // of the events parsed, the one ahead included
    if (has_ahead_) {
        if (ahead_.kind == EventKind::MappingStart || ahead_.kind == EventKind::SequenceStart)
            --depth;
        else if (ahead_.kind == EventKind::MappingEnd || ahead_.kind == EventKind::SequenceEnd)
            ++depth;
    }
    return depth;
}

std::size_t Loader::stored_position(const std::size_t *replay) const {
    if (!stored_)
        throw std::logic_error("an isolated read needs the document's events kept");
    return replay ? *replay : position_;
}

bool Loader::count_expansion(std::size_t target) {
    if (!stored_ || ++expansions_ > stored_->size() * kRepetitionFactor)
        return false;
    replayed_ += stored_->node_size(target);
    return replayed_ <= kReplayAllowance + stored_->size() * kReplayFactor;
}

Failure Loader::finish() {
    if (stored_) {
        if (stored_->error())
            return stored_->error();
    } else {
        // The root node has been read whole: what follows is the document's
        // end, or the parse error that stands in its place.
        bool more = false;
        if (Failure failure = parser_.next(ahead_, more))
            return failure;
    }
    return parser_.check_single_document();
}

} // namespace corvane::yaml
