#include "registry/undo/rename_marks.h"

namespace keyscour {

namespace {

constexpr std::wstring_view kKeyMark = L";keyscour-cli renamed key ";
constexpr std::wstring_view kValueMark = L";keyscour-cli renamed value ";

// Three quoted texts, separated by single spaces, and nothing after.
bool ReadQuoted(std::wstring_view line, std::vector<std::wstring>& texts) {
    texts.clear();
    std::size_t at = 0;
    while (at < line.size()) {
        if (!texts.empty()) {
            if (line[at] != L' ') return false;
            ++at;
        }
        if (at >= line.size() || line[at] != L'"') return false;
        std::wstring text;
        for (++at;; ++at) {
            if (at >= line.size()) return false;
            if (line[at] == L'"') break;
            if (line[at] == L'\\' && ++at >= line.size()) return false;
            text += line[at];
        }
        ++at;
        texts.push_back(std::move(text));
    }
    return texts.size() == 3;
}

std::wstring FullName(const RenameMark& mark, const std::wstring& name) { return mark.where + L"\\" + name; }

}  // namespace

std::wstring RenameMarkLine(const RenameMark& mark) {
    return std::wstring(mark.key ? kKeyMark : kValueMark) + RegScriptQuoted(mark.where) + L" " + RegScriptQuoted(mark.newName) +
           L" " + RegScriptQuoted(mark.oldName);
}

MarkedScript ReadRenameMarks(std::wstring_view script) {
    MarkedScript marked;
    marked.rest.reserve(script.size());
    bool inBlock = false;
    std::size_t line = 0, blockLine = 0;
    std::vector<std::wstring> texts;
    for (std::size_t at = 0; at < script.size();) {
        ++line;
        std::size_t lineEnd = script.find(L'\n', at);
        lineEnd = lineEnd == std::wstring_view::npos ? script.size() : lineEnd + 1;
        std::wstring_view text = script.substr(at, lineEnd - at);
        std::wstring_view bare = text;
        while (!bare.empty() && (bare.back() == L'\n' || bare.back() == L'\r')) bare.remove_suffix(1);
        at = lineEnd;
        const bool end = bare == kRenamedKeyEnd;
        const bool keyMark = !end && bare.starts_with(kKeyMark);
        if (keyMark || bare.starts_with(kValueMark)) {
            if (inBlock) throw RegScriptError{line, L"a rename mark inside a renamed key's block"};
            if (!ReadQuoted(bare.substr((keyMark ? kKeyMark : kValueMark).size()), texts))
                throw RegScriptError{line, L"a rename mark that does not read"};
            marked.renames.push_back({keyMark, texts[0], texts[1], texts[2]});
            inBlock = keyMark;
            blockLine = line;
        } else if (end) {
            if (!inBlock) throw RegScriptError{line, L"the end of a renamed key's block that was not opened"};
            inBlock = false;
        }
        // Lines kept as lines, so that every later line keeps its number.
        marked.rest.append(inBlock || end ? std::wstring_view(L"\r\n") : text);
    }
    if (inBlock) throw RegScriptError{blockLine, L"a renamed key's block that never ends"};
    return marked;
}

void RenameBack(const std::vector<RenameMark>& renames, Registry& registry, const KeyPlacer& place) {
    // The latest first: a key renamed after the keys below it (the deepest
    // first) is renamed back before them, so that every mark's path holds
    // again when its turn comes.
    struct Step {
        KeyPlace where;
        const RenameMark* mark;
    };
    std::vector<Step> steps;
    for (auto it = renames.rbegin(); it != renames.rend(); ++it) {
        const auto where = place(it->where);
        if (!where) throw RegScriptError{0, L"the key lies outside what may be changed: " + it->where};
        steps.push_back({*where, &*it});
    }
    const auto rename = [&registry](const Step& step, const std::wstring& from, const std::wstring& to) {
        const RenameMark& mark = *step.mark;
        if (mark.key)
            return registry.RenameKey(step.where.root, step.where.path.empty() ? from : step.where.path + L"\\" + from, to);
        KeyHandle opened = 0;
        // Opened, never created: a key that is gone is a rename that cannot be made.
        if (const Status status = registry.OpenKey(step.where.root, step.where.path, opened); status != status::kSuccess)
            return status;
        AdoptKey(registry, opened).reset();
        Status status = registry.CreateKey(step.where.root, step.where.path, opened);
        if (status != status::kSuccess) return status;
        const auto key = AdoptKey(registry, opened);
        return registry.RenameValue(key.get(), from, to);
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const RenameMark& mark = *steps[i].mark;
        const Status status = rename(steps[i], mark.newName, mark.oldName);
        if (status == status::kSuccess) continue;
        // Those made are made again as the replace left them, the latest
        // first, so that a refused undo changes nothing.
        for (std::size_t j = i; j-- > 0;) rename(steps[j], steps[j].mark->oldName, steps[j].mark->newName);
        const std::wstring what = mark.key ? L"the key " + FullName(mark, mark.newName)
                                           : L"the value \"" + mark.newName + L"\" of " + mark.where;
        throw RegScriptError{0, L"could not rename " + what + L" back to \"" + mark.oldName + L"\" (" +
                                    (status == status::kNotFound        ? std::wstring(L"it is no longer there")
                                     : status == status::kAlreadyExists ? std::wstring(L"that name is taken")
                                                                        : L"status " + std::to_wstring(status)) +
                                    L")"};
    }
}

}  // namespace keyscour
