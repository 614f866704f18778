// The fast path's differential check, shared by the fuzz targets: for every
// text the fast path accepts, its events and libyaml's must agree in every
// field the module reads (kind, style, value, tag, anchor, line and column),
// and so must the failure that ends the parse and the single-document check.
#pragma once

#include "yaml/parser.hpp"

#include <string>
#include <string_view>

namespace corvane::fuzz_check {

[[noreturn]] inline void disagreement() {
    __builtin_trap();
}

inline std::string failure_text(const yaml::Failure &failure) {
    return failure ? failure->to_string() : std::string();
}

// Whether the fast path, read as `reading` asks, took the text; when it did,
// its events were compared with libyaml's.
inline bool check_fast_path_agrees(std::string_view text, yaml::FastPath reading) {
    yaml::Parser fast(text, reading);
    if (!fast.took_fast_path())
        return false;
    yaml::Parser slow(text, yaml::FastPath::Off);
    if (slow.took_fast_path())
        disagreement();
    bool failed = false;
    for (;;) {
        yaml::Event a, b;
        bool more_a = false, more_b = false;
        const yaml::Failure failure_a = fast.next(a, more_a);
        const yaml::Failure failure_b = slow.next(b, more_b);
        if (failure_text(failure_a) != failure_text(failure_b) || more_a != more_b)
            disagreement();
        failed = failure_a.has_value();
        if (failed || !more_a)
            break;
        if (a.kind != b.kind || a.style != b.style || a.mark.line != b.mark.line ||
            a.mark.column != b.mark.column || a.value != b.value || a.tag != b.tag ||
            fast.anchor() != slow.anchor())
            disagreement();
    }
    if (fast.stream_was_empty() != slow.stream_was_empty())
        disagreement();
    // Reading asks for the single-document check only after a whole document.
    if (!failed &&
        failure_text(fast.check_single_document()) != failure_text(slow.check_single_document()))
        disagreement();
    return true;
}

// Returns whether the fast path took the text (and so was checked). Each of
// its readings is checked: with the widest vectors the processor has, with
// sixteen bytes at most, and the portable one; all take the same texts.
inline bool check_fast_path_agrees(std::string_view text) {
    const bool taken = check_fast_path_agrees(text, yaml::FastPath::Allowed);
    if (check_fast_path_agrees(text, yaml::FastPath::Narrow) != taken ||
        check_fast_path_agrees(text, yaml::FastPath::Portable) != taken)
        disagreement();
    return taken;
}

} // namespace corvane::fuzz_check
