#include "schema/edit_site.hpp"

namespace corvane::edit {

ConfigError refusal(std::string_view why) {
    return serialization_error(std::string(messages::kLayoutNotKept) + std::string(why));
}

Result<Table> find_table(const Site &site) {
    Table table;
    if (site.outline.size() == 0 || site.kind(0) != Kind::Mapping)
        return serialization_error(messages::kNoSection);
    auto sections = site.entries(0, "a section name");
    if (!sections)
        return std::move(sections).error();
    for (const auto &[key, value] : sections.value()) {
        if (site.outline.key(key) == kSectionName) {
            table.section_key = key;
            table.section = value;
        }
    }
    if (table.section == kNone)
        return serialization_error(messages::kNoSection);
    if (site.kind(table.section) != Kind::Mapping)
        return refusal("the corvane section is an alias");
    auto fields = site.entries(table.section, "a key of the corvane section");
    if (!fields)
        return std::move(fields).error();
    for (const auto &[key, value] : fields.value()) {
        if (site.outline.key(key) == kReadersKey) {
            table.key = key;
            table.node = value;
        }
    }
    if (table.node == kNone || site.kind(table.node) == Kind::Alias)
        return refusal("the readers table is an alias");
    if (site.kind(table.node) == Kind::Mapping) {
        auto entries = site.entries(table.node, "a reader id");
        if (!entries)
            return std::move(entries).error();
        table.entries = std::move(entries).value();
    }
    return table;
}

} // namespace corvane::edit
