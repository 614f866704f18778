// Stage 1: whether a whole text is inside the subset (see the grammar in
// fast_reader.hpp), line by line and by indentation, before any event is
// given; and which reading this process uses.
#include "yaml/fast_path/fast_reader.hpp"

#include <cstdlib>
#include <cstring>
#include <yaml.h>

namespace corvane::yaml {

using fast_path::careful_line;
using fast_path::quick_line;

bool fast_path_enabled() {
    static const bool enabled = [] {
        const char *setting = std::getenv("CORVANE_YAML_FAST_PATH");
        if (setting != nullptr && std::strcmp(setting, "0") == 0)
            return false;
        int major = 0, minor = 0, patch = 0;
        yaml_get_version(&major, &minor, &patch);
        return major == 0 && minor == 2 && patch == 5;
    }();
    return enabled;
}

namespace {

// The lanes a reading uses on this processor: AVX2 only where it has it.
fast_path::Lanes lanes_for(FastPath reading) {
    using fast_path::Lanes;
    if (reading == FastPath::Portable)
        return Lanes::Eight;
#if !defined(__SSE2__)
    return Lanes::Eight; // no vector reading here (aarch64): every reading is the portable one
#endif
    if constexpr (fast_path::kHasAvx2Window) {
        static const bool wide = fast_path::processor_has_avx2();
        if (reading == FastPath::Allowed && wide)
            return Lanes::ThirtyTwo;
    }
    return Lanes::Sixteen;
}

} // namespace

bool FastReader::accepts(std::string_view text, Lanes lanes) {
    if constexpr (fast_path::kHasAvx2Window) {
        if (lanes == Lanes::ThirtyTwo)
            return accepts_wide(text);
    }
    const bool vector = lanes != Lanes::Eight;
    fast_path::Nesting nesting;
    Line line;
    for (std::size_t position = 0; position < text.size(); position = line.next) {
        if (!quick_line(text, position, line, vector) && !careful_line(text, position, line))
            return false;
        if (!nesting.add(line))
            return false;
    }
    return true;
}

std::unique_ptr<FastReader> FastReader::open(std::string_view text, FastPath reading) {
    if (reading == FastPath::Off || !fast_path_enabled())
        return nullptr;
    const Lanes lanes = lanes_for(reading);
    if (!accepts(text, lanes))
        return nullptr;
    return std::unique_ptr<FastReader>(new FastReader(text, lanes));
}

} // namespace corvane::yaml
