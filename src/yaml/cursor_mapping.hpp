#pragma once

// The mapping walker of cursor.hpp, a template so the records' per-entry work
// inlines into it.

#include <string>
#include <type_traits>

namespace corvane::yaml {

template <class OnEntry, class OnEnd>
Failure read_mapping(Cursor &cursor, std::string_view expected, std::string_view key_expected,
                     OnEntry &&on_entry, OnEnd &&on_end) {
    const Event *start = nullptr;
    if (Failure failure = cursor.next(start))
        return failure;
    const Mark mark = start->mark; // the event itself is gone once the next is read
    Failure result;
    if (start->kind == EventKind::Alias) {
        result = cursor.follow(*start, [&](Cursor &target) {
            return read_mapping(target, expected, key_expected, on_entry, on_end);
        });
    } else if (start->kind == EventKind::MappingStart) {
        result = cursor.nested(mark, [&]() -> Failure {
            // Where texts go with their event, each key is copied here to
            // outlive the reading of its value (one buffer per mapping),
            // unless it points into the parsed text itself.
            std::string key_copy;
            for (;;) {
                const Event *key_event = nullptr;
                if (Failure failure = cursor.peek(key_event))
                    return failure;
                if (key_event->kind == EventKind::MappingEnd) {
                    cursor.advance();
                    break;
                }
                const bool key_is_scalar = key_event->kind == EventKind::Scalar;
                const Mark key_mark = key_event->mark;
                const bool key_lasts = key_event->value_in_text || cursor.texts_are_stored();
                std::string_view key;
                if (Failure failure = read_text(cursor, key_expected, key))
                    return failure;
                if (!key_lasts)
                    key = key_copy.assign(key);
                Path value_path =
                    key_is_scalar ? Path::child(cursor.path(), key) : Path::unknown(cursor.path());
                // A walker that wants to know where each key stands takes its mark too.
                Failure failure = cursor.below(value_path, [&](Cursor &value) {
                    if constexpr (std::is_invocable_v<OnEntry &, std::string_view, Cursor &, Mark>)
                        return on_entry(key, value, key_mark);
                    else
                        return on_entry(key, value);
                });
                if (failure)
                    return failure;
            }
            return on_end();
        });
    } else if (start->is_empty_plain()) {
        result = on_end();
    } else {
        result = invalid_type(*start, expected);
    }
    if (result)
        result->fix_mark(mark, cursor.path());
    return result;
}

} // namespace corvane::yaml
