// Layout-keeping edits: find the nodes an edit touches in the text's outline,
// render only what changes with the writer's rules, splice it in, and read
// the result back before it is used.
#include "schema/manifest_edit.hpp"

#include "schema/edit_site.hpp"
#include "yaml/outline.hpp"
#include "yaml/text_edit.hpp"
#include "yaml/writer.hpp"

#include <algorithm>
#include <optional>
#include <unordered_map>
#include <vector>

namespace corvane {
namespace {

using namespace edit;
using yaml::Replacement;
using yaml::ScalarStyle;

// A value rendered for its place: "\n" breaks turned into the text's, and a
// literal block's lines placed under the key at `key_column`.
std::string place_value(const Site &site, std::string_view rendered, std::uint32_t key_column) {
    const std::size_t feed = rendered.find('\n');
    if (feed == std::string_view::npos)
        return std::string(rendered);
    std::string placed(rendered.substr(0, feed));
    placed += site.line_break;
    placed += yaml::place_lines(rendered.substr(feed + 1), key_column, site.line_break);
    placed.resize(placed.size() - site.line_break.size());
    return placed;
}

// The writer's text for a setting's value alone, in the style of `replaced`.
Result<std::string> render_setting(const ReaderField &field, const ReaderConfig &reader, bool flow,
                                   ScalarStyle replaced) {
    const FieldValue value = field_value(reader, field);
    return yaml::render_value(flow, [&](yaml::Writer &out) {
        if (const auto *text = std::get_if<std::string_view>(&value))
            out.text(*text, replaced);
        else
            out.unsigned_integer(std::get<std::uint64_t>(value));
    });
}

// A whole mapping entry, `id` with the reader's set settings, as the writer
// emits it: block lines indented by `step`, or one flow entry "id: {...}".
Result<std::string> render_reader(std::string_view id, const ReaderConfig &reader, bool flow,
                                  int step, bool with_id = true) {
    yaml::Writer out(flow, step, true);
    if (with_id) {
        out.begin_mapping();
        out.text(id);
    }
    write_set_settings(out, reader);
    if (with_id)
        out.end_mapping();
    Result<std::string> emitted = out.finish();
    if (!emitted)
        return emitted;
    std::string text = std::move(emitted).value();
    if (flow) {
        // "{id: {...}}\n" or "{...}\n"
        if (!text.ends_with("\n"))
            return serialization_error("unexpected emitter output");
        text.pop_back();
        if (with_id) {
            if (text.size() < 2)
                return serialization_error("unexpected emitter output");
            text = text.substr(1, text.size() - 2);
        }
    }
    return text;
}

// The replacements of one edit, and the node each lies in (for the anchors
// check): every replacement is inside its node's text, or adds to it.
class Plan {
  public:
    explicit Plan(const Site &site) : site_(site) {}

    void replace(std::uint32_t begin, std::uint32_t end, std::string text,
                 std::uint32_t container) {
        replacements_.push_back({begin, end, std::move(text)});
        containers_.push_back(container);
    }
    // Lines inserted at `at`, the start of a line (or the text's end, where
    // the last line may lack its break: the lines then come after one, and
    // the text still ends without).
    void insert_lines(std::uint32_t at, std::string lines, std::uint32_t container) {
        if (at == site_.text.size() && !site_.text.empty() && !site_.text.ends_with('\n')) {
            lines.resize(lines.size() - site_.line_break.size());
            lines.insert(0, site_.line_break);
        }
        replace(at, at, std::move(lines), container);
    }
    // Whole lines [begin, end) removed; at the end of a text without a final
    // break, the break before them goes instead.
    void remove_lines(std::uint32_t begin, std::uint32_t end, std::uint32_t container) {
        if (end == site_.text.size() && !site_.text.ends_with('\n') && begin > 0) {
            begin -= 1;
            if (begin > 0 && site_.text[begin - 1] == '\r')
                begin -= 1;
        }
        replace(begin, end, {}, container);
    }

    const std::vector<Replacement> &replacements() const { return replacements_; }
    const std::vector<std::uint32_t> &containers() const { return containers_; }
    bool empty() const { return replacements_.empty(); }

  private:
    const Site &site_;
    std::vector<Replacement> replacements_;
    std::vector<std::uint32_t> containers_;
};

// Which entries of a mapping go: removed in flow syntax, each with the comma
// that separates it from a kept neighbour.
void remove_flow_entries(Plan &plan, const Site &site, std::uint32_t mapping,
                         const std::vector<Entry> &entries, const std::vector<bool> &removed) {
    std::optional<std::size_t> last_kept;
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (!removed[i])
            last_kept = i;
    if (!last_kept) { // every entry: "{}" is left
        plan.replace(site.span(entries.front().first).begin, site.span(entries.back().second).end,
                     {}, mapping);
        return;
    }
    for (std::size_t i = 0; i < *last_kept; ++i)
        if (removed[i])
            plan.replace(site.span(entries[i].first).begin, site.span(entries[i + 1].first).begin,
                         {}, mapping);
    if (*last_kept + 1 < entries.size())
        plan.replace(site.span(entries[*last_kept].second).end,
                     site.span(entries.back().second).end, {}, mapping);
}

// The edits that turn the stored reader at `node` (`stored`) into `reader`,
// setting by setting; its unknown keys stay.
Status edit_settings(Plan &plan, const Site &site, std::uint32_t node, const ReaderConfig &stored,
                     const ReaderConfig &reader) {
    auto entries = site.entries(node, "a setting's key");
    if (!entries)
        return std::move(entries).error();
    const std::vector<Entry> &all = entries.value();
    const bool flow = site.flow(node);
    // The entry of each setting in the text, if any.
    std::array<std::optional<std::size_t>, kReaderFields.size()> at{};
    for (std::size_t i = 0; i < all.size(); ++i)
        for (std::size_t field = 0; field < kReaderFields.size(); ++field)
            if (site.outline.key(all[i].first) == kReaderFields[field].name)
                at[field] = i;
    std::vector<bool> removed(all.size(), false);
    std::vector<std::size_t> added;
    for (std::size_t field = 0; field < kReaderFields.size(); ++field) {
        const ReaderField &row = kReaderFields[field];
        const FieldValue now = field_value(reader, row);
        const FieldValue before = field_value(stored, row);
        const bool set = !std::holds_alternative<std::monostate>(now);
        if (!at[field]) {
            if (set)
                added.push_back(field);
            continue;
        }
        if (now == before)
            continue;
        const auto [key, value] = all[*at[field]];
        if (!set) {
            removed[*at[field]] = true;
            continue;
        }
        auto rendered = render_setting(row, reader, flow, site.outline.node(value).style);
        if (!rendered)
            return std::move(rendered).error();
        if (site.is_empty(value)) { // "key:" with nothing after it
            const auto colon = site.after_colon(key);
            if (colon)
                plan.replace(*colon, *colon, " " + rendered.value(), node);
            else
                plan.replace(site.span(key).end, site.span(key).end, ": " + rendered.value(), node);
            continue;
        }
        std::uint32_t end = site.span(value).end;
        const ScalarStyle style = site.outline.node(value).style;
        if (style == ScalarStyle::Literal || style == ScalarStyle::Folded) {
            const std::size_t last = yaml::content_end(site.text, site.span(value).begin, end);
            end = static_cast<std::uint32_t>(yaml::line_end(site.text, last == 0 ? 0 : last - 1));
        }
        plan.replace(site.span(value).begin, end,
                     place_value(site, rendered.value(), site.column(key)), node);
    }
    if (flow) {
        remove_flow_entries(plan, site, node, all, removed);
    } else {
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (!removed[i])
                continue;
            if (!yaml::starts_line(site.text, site.span(all[i].first).begin))
                return refusal("a setting at " + site.where(site.span(all[i].first).begin) +
                               " does not start its line");
            plan.remove_lines(static_cast<std::uint32_t>(
                                  yaml::line_start(site.text, site.span(all[i].first).begin)),
                              site.after_last_line(all[i].second), node);
        }
    }
    // New settings after the nearest earlier setting that stays (declaration
    // order where the text allows), or before the first entry that stays.
    for (std::size_t field : added) {
        std::optional<std::size_t> before;
        for (std::size_t earlier = field; earlier-- > 0;)
            if (at[earlier] && !removed[*at[earlier]]) {
                before = *at[earlier];
                break;
            }
        std::optional<std::size_t> first_kept;
        for (std::size_t i = 0; i < all.size() && !first_kept; ++i)
            if (!removed[i])
                first_kept = i;
        auto rendered = render_setting(kReaderFields[field], reader, flow, ScalarStyle::Plain);
        if (!rendered)
            return std::move(rendered).error();
        std::string entry = std::string(kReaderFields[field].name) + ": " + rendered.value();
        if (flow) {
            if (before)
                plan.replace(site.span(all[*before].second).end, site.span(all[*before].second).end,
                             ", " + entry, node);
            else
                plan.replace(site.span(all[*first_kept].first).begin,
                             site.span(all[*first_kept].first).begin, entry + ", ", node);
            continue;
        }
        std::optional<std::uint32_t> column; // of the settings that start their lines
        for (const auto &[key, value] : all)
            if (!column && yaml::starts_line(site.text, site.span(key).begin))
                column = site.column(key);
        if (!column)
            return refusal("a setting at " + site.where(site.span(all.front().first).begin) +
                           " does not start its line");
        std::string lines = yaml::place_lines(entry, *column, site.line_break);
        if (before)
            plan.insert_lines(site.after_last_line(all[*before].second), std::move(lines), node);
        else
            plan.insert_lines(static_cast<std::uint32_t>(yaml::line_start(
                                  site.text, site.span(all[*first_kept].first).begin)),
                              std::move(lines), node);
    }
    return success();
}

// The indentation step of the readers below a table at `column`: that of the
// last reader's settings where it has block ones, else the table's own.
int reader_step(const Site &site, const Table &table) {
    int step = 0;
    if (!table.entries.empty()) {
        const auto [key, value] = table.entries.back();
        if (site.kind(value) == Kind::Mapping && !site.flow(value))
            step =
                static_cast<int>(site.first_key_column(value)) - static_cast<int>(site.column(key));
        else
            step = static_cast<int>(site.column(key)) - static_cast<int>(site.column(table.key));
    } else {
        step = static_cast<int>(site.column(table.key)) -
               static_cast<int>(site.column(table.section_key));
    }
    return step >= 2 && step <= 9 ? step : 2; // the emitter's range
}

// A new entry after the table's last reader (or in an empty table).
Status add_entry(Plan &plan, const Site &site, const Table &table, const ReaderConfig &reader,
                 std::string_view id) {
    const int step = reader_step(site, table);
    if (site.kind(table.node) == Kind::Mapping && site.flow(table.node)) {
        auto rendered = render_reader(id, reader, true, step);
        if (!rendered)
            return std::move(rendered).error();
        if (table.entries.empty()) {
            const std::uint32_t inside = site.span(table.node).begin + 1; // after "{"
            plan.replace(inside, inside, rendered.value(), table.node);
        } else {
            const std::uint32_t end = site.span(table.entries.back().second).end;
            plan.replace(end, end, ", " + rendered.value(), table.node);
        }
        return success();
    }
    if (site.is_empty(table.node)) {
        const auto colon = site.after_colon(table.key);
        if (!colon)
            return refusal("the readers table has no place for a reader");
        if (site.flow(table.section)) {
            auto rendered = render_reader(id, reader, true, step);
            if (!rendered)
                return std::move(rendered).error();
            plan.replace(*colon, *colon, " {" + rendered.value() + "}", table.node);
            return success();
        }
        auto rendered = render_reader(id, reader, false, step);
        if (!rendered)
            return std::move(rendered).error();
        plan.insert_lines(
            static_cast<std::uint32_t>(yaml::after_line(site.text, *colon)),
            yaml::place_lines(rendered.value(),
                              site.column(table.key) + static_cast<std::uint32_t>(step),
                              site.line_break),
            table.node);
        return success();
    }
    // A block table: after its last reader, like it.
    const auto [last_key, last_value] = table.entries.back();
    if (!yaml::starts_line(site.text, site.span(last_key).begin))
        return refusal("the reader at " + site.where(site.span(last_key).begin) +
                       " does not start its line");
    const bool flow_reader = site.kind(last_value) == Kind::Mapping && site.flow(last_value);
    auto rendered = render_reader(id, reader, flow_reader, step);
    if (!rendered)
        return std::move(rendered).error();
    std::string lines =
        flow_reader
            ? yaml::place_lines(rendered.value() + "\n", site.column(last_key), site.line_break)
            : yaml::place_lines(rendered.value(), site.column(last_key), site.line_break);
    plan.insert_lines(site.after_last_line(last_value), std::move(lines), table.node);
    return success();
}

// Writes a whole reader in place of the node at `node` (an alias): block
// lines below its key, or a flow mapping inside a flow table.
Status replace_reader_node(Plan &plan, const Site &site, const Table &table, std::uint32_t key,
                           std::uint32_t node, const ReaderConfig &reader) {
    const int step = reader_step(site, table);
    const bool flow = site.flow(table.node);
    auto rendered = render_reader({}, reader, flow, step, false);
    if (!rendered)
        return std::move(rendered).error();
    std::string text;
    if (flow) {
        text = std::move(rendered).value();
    } else {
        text =
            std::string(site.line_break) +
            yaml::place_lines(rendered.value(), site.column(key) + static_cast<std::uint32_t>(step),
                              site.line_break);
        text.resize(text.size() - site.line_break.size());
    }
    std::uint32_t begin = site.span(node).begin;
    if (!flow) // the blanks after the key's ":" would trail it
        while (begin > 0 && site.text[begin - 1] == ' ')
            --begin;
    plan.replace(begin, site.span(node).end, std::move(text), table.node);
    return success();
}

// Whether the node's text changes through the plan: a replacement lies in
// it, or it holds (or is) a node a replacement adds to.
bool touched(const Site &site, const Plan &plan, const Outline::Name &anchored) {
    const yaml::Span span = anchored.span;
    const std::uint32_t node = anchored.node; // kNone: inside a node not kept, holding no edit
    for (std::size_t i = 0; i < plan.replacements().size(); ++i) {
        const Replacement &change = plan.replacements()[i];
        const std::uint32_t container = plan.containers()[i];
        if (node != kNone && node <= container && container < site.outline.after(node))
            return true;
        if (change.begin < span.end && span.begin < change.end)
            return true;
        if (change.begin == change.end && span.begin < change.begin && change.begin < span.end)
            return true;
    }
    return false;
}

bool replaced(const Plan &plan, const yaml::Span &span) {
    for (const Replacement &change : plan.replacements())
        if (change.begin < change.end && change.begin <= span.begin && span.end <= change.end)
            return true;
    return false;
}

// Aliases keep what they name: an alias outside the edit whose anchored node
// the edit changes is given its own copy of what it read where it is a whole
// reader of the table naming the edited reader (`target`, stored as
// `stored`), and refused otherwise.
Status keep_aliases(Plan &plan, const Site &site, const Table &table, std::uint32_t target,
                    const ReaderConfig *stored) {
    const auto &names = site.outline.names();
    if (names.empty())
        return success();
    std::unordered_map<std::string_view, const Outline::Name *> anchored; // the latest of each
    std::unordered_map<std::uint32_t, std::uint32_t> reader_keys; // a table entry's value -> key
    for (const auto &[key, value] : table.entries)
        reader_keys[value] = key;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> copies; // (key, alias)
    for (const Outline::Name &name : names) {
        if (!name.alias) {
            anchored[name.name] = &name;
            continue;
        }
        const auto named = anchored.find(name.name);
        if (replaced(plan, name.span) || named == anchored.end() ||
            !touched(site, plan, *named->second))
            continue;
        const auto reader_key = reader_keys.find(name.node);
        const bool own_copy = name.node != kNone && reader_key != reader_keys.end() &&
                              named->second->node == target && target != kNone && stored != nullptr;
        if (!own_copy)
            return refusal("the alias *" + name.name + " at " + site.where(name.span.begin) +
                           " names a node this change edits");
        copies.emplace_back(reader_key->second, name.node);
    }
    for (const auto &[key, alias] : copies) {
        if (Status status = replace_reader_node(plan, site, table, key, alias, *stored); !status)
            return status;
    }
    return success();
}

// The edited text, once it reads back as exactly `expected` (the sections
// with the readers under `reader_id`), every other reader as `others` saw them.
Result<std::string> checked(std::string_view text, const Plan &plan, std::string_view reader_id,
                            const Sections<ManifestConfig> &expected, const OthersDigest &others) {
    if (plan.empty())
        return std::string(text);
    std::string edited = yaml::apply(text, plan.replacements());
    OthersDigest seen;
    auto reread = parse_manifest_keeping(edited, reader_id, seen);
    if (!reread || !(reread.value() == expected) || !(seen == others))
        return refusal("the edited text would not read back as this change asks");
    return edited;
}

// The outline of the text and its readers table, for either edit.
struct Prepared {
    Outline outline;
    std::optional<Site> site;
    Table table;
};

Status prepare(std::string_view text, std::string_view reader_id, Prepared &prepared) {
    if (!yaml::has_plain_line_breaks(text))
        return refusal("the manifest breaks lines other than with LF or CRLF");
    const std::array<std::string_view, 3> focus{kSectionName, kReadersKey, reader_id};
    if (yaml::Failure failure = Outline::build(text, focus, prepared.outline))
        return serialization_error(failure->to_string());
    prepared.site.emplace(text, prepared.outline);
    auto table = find_table(*prepared.site);
    if (!table)
        return std::move(table).error();
    prepared.table = std::move(table).value();
    return success();
}

} // namespace

Result<std::string> put_reader_in_text(std::string_view text, Sections<ManifestConfig> sections,
                                       const OthersDigest &others, const ReaderConfig &reader,
                                       std::string_view reader_id) {
    Prepared prepared;
    if (Status status = prepare(text, reader_id, prepared); !status)
        return std::move(status).error();
    const Site &site = *prepared.site;
    const Table &table = prepared.table;
    ManifestConfig *section = sections.find(kSectionName);
    if (section == nullptr)
        return serialization_error(messages::kNoSection);

    Plan plan(site);
    std::optional<Entry> target;
    for (const Entry &entry : table.entries)
        if (site.outline.key(entry.first) == reader_id)
            target = entry;
    const ReaderConfig *stored = section->readers_config.find(reader_id);
    Status status = success();
    if (!target) {
        status = add_entry(plan, site, table, reader, reader_id);
    } else if (site.kind(target->second) == Kind::Mapping && stored != nullptr) {
        status = edit_settings(plan, site, target->second, *stored, reader);
    } else {
        status = replace_reader_node(plan, site, table, target->first, target->second, reader);
    }
    if (!status)
        return std::move(status).error();
    if (Status aliases = keep_aliases(plan, site, table, target ? target->second : kNone, stored);
        !aliases)
        return std::move(aliases).error();
    section->readers_config.put(std::string(reader_id), reader);
    return checked(text, plan, reader_id, sections, others);
}

Result<std::string> remove_reader_from_text(std::string_view text,
                                            Sections<ManifestConfig> sections,
                                            const OthersDigest &others,
                                            std::string_view reader_id) {
    ManifestConfig *section = sections.find(kSectionName);
    if (section == nullptr)
        return serialization_error(messages::kNoSection);
    std::optional<ReaderConfig> stored;
    if (const ReaderConfig *found = section->readers_config.find(reader_id))
        stored = *found;
    if (!stored || !section->readers_config.erase(reader_id)) {
        return ConfigError(ErrorKind::InvalidValue, messages::kNoReaderBefore +
                                                        std::string(reader_id) +
                                                        messages::kNoReaderAfter);
    }
    Prepared prepared;
    if (Status status = prepare(text, reader_id, prepared); !status)
        return std::move(status).error();
    const Site &site = *prepared.site;
    const Table &table = prepared.table;
    std::vector<bool> removed(table.entries.size(), false);
    for (std::size_t i = 0; i < table.entries.size(); ++i)
        removed[i] = site.outline.key(table.entries[i].first) == reader_id;

    Plan plan(site);
    if (site.flow(table.node)) {
        remove_flow_entries(plan, site, table.node, table.entries, removed);
    } else {
        for (std::size_t i = 0; i < table.entries.size(); ++i) {
            if (!removed[i])
                continue;
            const auto [key, value] = table.entries[i];
            if (!yaml::starts_line(site.text, site.span(key).begin))
                return refusal("the reader at " + site.where(site.span(key).begin) +
                               " does not start its line");
            plan.remove_lines(
                static_cast<std::uint32_t>(yaml::line_start(site.text, site.span(key).begin)),
                site.after_last_line(value), table.node);
        }
        if (std::find(removed.begin(), removed.end(), false) == removed.end()) {
            // No reader left: an empty table that reads back as one.
            const auto colon = site.after_colon(table.key);
            if (!colon)
                return refusal("the readers table has no place for \"{}\"");
            plan.replace(*colon, *colon, " {}", table.node);
        }
    }
    std::uint32_t target = kNone; // the entry a read found
    for (std::size_t i = 0; i < table.entries.size(); ++i)
        if (removed[i])
            target = table.entries[i].second;
    if (Status aliases = keep_aliases(plan, site, table, target, &*stored); !aliases)
        return std::move(aliases).error();
    return checked(text, plan, reader_id, sections, others);
}

} // namespace corvane
