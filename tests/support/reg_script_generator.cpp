#include "tests/support/reg_script_generator.h"

#include <random>

#include "base/utf16.h"

namespace keyscour::testing {

namespace {

// Draws the parts of a script. ansi: a REGEDIT4 file in single bytes, whose
// text and string bytes stay ASCII so that every code page reads them alike.
class Composer {
public:
    Composer(std::uint32_t seed, bool ansi) : random_(seed), ansi_(ansi) {}

    int Pick(int count) { return std::uniform_int_distribution<int>(0, count - 1)(random_); }
    bool Chance(int percent) { return Pick(100) < percent; }
    template <typename T>
    const T& OneOf(const std::vector<T>& items) {
        return items[static_cast<std::size_t>(Pick(static_cast<int>(items.size())))];
    }

    std::wstring Blank() { return OneOf<std::wstring>({L"", L"", L"", L" ", L"\t", L"  "}); }

    // What may follow a value: nothing, blanks, a ';' comment (read), a '#'
    // one or other text (the value dropped).
    std::wstring Trail() {
        return OneOf<std::wstring>({L"", L"", L"", L"", L" ", L"\t", L";c", L" ; a comment", L"  ;", L"#c", L" #c", L" x"});
    }

    // A quoted text with what Windows reads in one: escapes, and now and
    // then one it rejects or a quote that does not close.
    std::wstring Quoted() {
        std::wstring text = L"\"";
        const int length = Pick(8);
        for (int i = 0; i < length; ++i) {
            switch (Pick(14)) {
            case 0: text += L"\\\\"; break;
            case 1: text += L"\\\""; break;
            case 2: text += L"\\n"; break;
            case 3: text += L"\\r"; break;
            case 4: text += L"\\q"; break;
            case 5: text += Chance(15) ? L"\\0" : L" "; break;
            case 6: text += L";"; break;
            case 7: text += L"#"; break;
            case 8: text += L"="; break;
            case 9: text += ansi_ ? L"~" : L"\u00E9\u20AC"; break;
            default: text += static_cast<wchar_t>(L'a' + Pick(26)); break;
            }
        }
        if (!Chance(4)) text += L"\"";
        return text;
    }

    std::wstring HexByte(std::uint8_t byte) {
        static constexpr wchar_t kLower[] = L"0123456789abcdef", kUpper[] = L"0123456789ABCDEF";
        const wchar_t* digits = Chance(20) ? kUpper : kLower;
        std::wstring text;
        if (byte < 16 && Chance(10)) return std::wstring(1, digits[byte]);  // one digit
        text += digits[byte >> 4];
        text += digits[byte & 15];
        return text;
    }

    std::vector<std::uint8_t> Bytes(std::size_t count, bool text) {
        std::vector<std::uint8_t> bytes;
        for (std::size_t i = 0; i < count; ++i) {
            if (text && !ansi_) bytes.push_back(i % 2 ? 0 : static_cast<std::uint8_t>(Chance(15) ? 0 : 0x41 + Pick(26)));
            else if (text) bytes.push_back(static_cast<std::uint8_t>(Chance(15) ? 0 : 0x20 + Pick(95)));
            else bytes.push_back(static_cast<std::uint8_t>(Pick(256)));
        }
        return bytes;
    }

    bool Ansi() const { return ansi_; }

private:
    std::mt19937 random_;
    bool ansi_;
};

struct TypeForm {
    std::wstring prefix;
    bool text;  // REG_SZ, REG_EXPAND_SZ or REG_MULTI_SZ
};

const std::vector<TypeForm>& TypeForms() {
    static const std::vector<TypeForm> forms{
        {L"hex:", false},        {L"hex(0):", false},         {L"hex(1):", true},    {L"hex(2):", true},
        {L"hex(7):", true},      {L"hex(3):", false},         {L"hex(4):", false},   {L"hex(b):", false},
        {L"hex(B):", false},     {L"hex(12345):", false},
        {L"hex(100000000):", false}, {L"hex(0x2):", false},   {L"hex():", false},    {L"hex( 2):", true},
        {L"Hex:", false},        {L"hex(2) :", true},
    };
    return forms;
}

// One case: its key line and what follows, all below key.
class CaseWriter {
public:
    CaseWriter(Composer& compose, std::wstring key, bool alone) : c_(compose), key_(std::move(key)), alone_(alone) {}

    std::vector<std::wstring> Lines() {
        KeyLine();
        const int count = 2 + c_.Pick(5);
        for (int i = 0; i < count; ++i) {
            switch (c_.Pick(12)) {
            case 0: case 1: StringValue(); break;
            case 2: DwordValue(); break;
            case 3: case 4: case 5: HexValue(false); break;
            case 6: RemovedValue(); break;
            case 7: OddLine(); break;
            case 8: SubKey(); break;
            default: StringValue(); break;
            }
        }
        // A case alone in its file ends in a continuation, whatever it runs into.
        if (alone_) HexValue(true);
        return std::move(lines_);
    }

private:
    std::wstring Name() {
        if (c_.Chance(8)) return L"@";
        std::wstring name = L"\"v" + std::to_wstring(next_++);
        if (c_.Chance(20)) name += c_.OneOf<std::wstring>({L"\\\\x", L"\\\"q", L" sp", L"\\q", L";", L"#", L"]"});
        if (c_.Chance(3)) return name + L"\\0\"";
        if (c_.Chance(3)) return name;  // no closing quote
        return name + L"\"";
    }

    std::wstring Equals() {
        if (c_.Chance(3)) return c_.Blank();  // no '='
        return c_.Blank() + L"=" + c_.Blank();
    }

    void KeyLine() {
        std::wstring line = c_.Blank() + L"[" + key_;
        if (c_.Chance(20)) line += c_.OneOf<std::wstring>({L"\\", L"\\\\", L"\\\\\\"});
        lines_.push_back(line + L"]" + (c_.Chance(10) ? L" ;c" : L""));
    }

    void SubKey() {
        switch (c_.Pick(7)) {
        case 0: lines_.push_back(L"[" + key_ + L"\\Sub ]"); break;
        case 1: lines_.push_back(L"[" + key_ + L"\\App [x86]]"); break;
        case 2: lines_.push_back(L"[ " + key_ + L"\\NotAKey]"); break;
        case 3: lines_.push_back(L"[-" + key_ + L"\\Sub ]"); break;
        case 4: lines_.push_back(L"[HKEY_NOWHERE\\" + key_.substr(key_.find(L'\\') + 1) + L"]"); break;
        case 5: lines_.push_back(L"[" + key_ + L"\\Trail\\\\]"); break;
        default: lines_.push_back(L"[" + key_ + L"]"); break;
        }
    }

    void StringValue() { lines_.push_back(c_.Blank() + Name() + Equals() + c_.Quoted() + c_.Trail()); }

    void DwordValue() {
        std::wstring digits;
        const int count = c_.Chance(10) ? c_.OneOf<int>({0, 9, 10}) : 1 + c_.Pick(8);
        for (int i = 0; i < count; ++i) digits += L"0123456789abcdefABCDEF"[c_.Pick(22)];
        const std::wstring trail = c_.Chance(8) ? c_.OneOf<std::wstring>({L";5678", L"x", L" 12", L"-1"}) : c_.Trail();
        lines_.push_back(c_.Blank() + Name() + Equals() + (c_.Chance(4) ? L"DWORD:" : L"dword:") + c_.Blank() + digits +
                         trail);
    }

    void RemovedValue() {
        const std::wstring name = next_ > 0 && c_.Chance(70) ? L"\"v" + std::to_wstring(c_.Pick(next_)) + L"\"" : Name();
        lines_.push_back(name + c_.Blank() + L"=" + c_.Blank() + L"-" +
                         c_.OneOf<std::wstring>({L"", L"", L" ", L" ;c", L"\"Test\"", L" x", L"#"}));
    }

    void OddLine() {
        lines_.push_back(c_.OneOf<std::wstring>({L"", L"   ", L"; a comment", L"#comment", L"  # indented", L"garbage",
                                                 L"=\"no name\"", L"\\", L",00"}));
    }

    // Hex data; continued over lines only in a case alone in its file.
    void HexValue(bool continued) {
        const TypeForm& form = c_.OneOf(TypeForms());
        std::size_t count = static_cast<std::size_t>(c_.Pick(continued ? 14 : 9));
        // Odd lengths of UTF-16 text are left out: what Wine stores for them
        // holds a byte it never wrote.
        if (form.text && !c_.Ansi() && count % 2) ++count;
        const std::vector<std::uint8_t> bytes = c_.Bytes(count, form.text);
        std::vector<std::wstring> items;
        for (std::uint8_t byte : bytes) items.push_back(c_.HexByte(byte));
        // Wine's reg.exe holds two faults that Windows does not share, so
        // neither shape is made: text of an odd length in a UTF-16 file
        // (what it stores holds a byte it never wrote), and text with no
        // byte before a comment (it reads before its buffer and crashes).
        const bool wineFaults = form.text && (!c_.Ansi() || items.empty());
        if (!continued && !wineFaults && c_.Chance(5))
            items.push_back(c_.OneOf<std::wstring>({L"100", L"0x41", L"-1", L"g", L""}));
        std::wstring line = c_.Blank() + Name() + Equals() + form.prefix;
        const std::size_t split = continued && !items.empty() ? static_cast<std::size_t>(c_.Pick(static_cast<int>(items.size()))) : items.size();
        for (std::size_t i = 0; i < split; ++i) line += (i ? (c_.Chance(5) ? L", " : L",") : L"") + items[i];
        if (!continued) {
            lines_.push_back(line + (c_.Chance(6) ? L"," : L"") + (form.text && items.empty() ? L"" : c_.Trail()));
            return;
        }
        // The break: Windows goes on only after a comma.
        line += (split > 0 && c_.Chance(80) ? L"," : L"") + std::wstring(L"\\") +
                c_.OneOf<std::wstring>({L"", L"", L"", L" ", L";c", L" ; c", L"x"});
        lines_.push_back(line);
        const int between = c_.Chance(40) ? 1 + c_.Pick(3) : 0;
        for (int i = 0; i < between; ++i) lines_.push_back(c_.OneOf<std::wstring>({L"", L"  ", L";c", L"  ; c", L"#c"}));
        std::wstring rest = c_.Blank();
        for (std::size_t i = split; i < items.size(); ++i) rest += (i > split ? L"," : L"") + items[i];
        if (split == items.size() || c_.Chance(15))
            rest = c_.OneOf<std::wstring>({L",41", L"\\", L"\"eaten\"=\"1\"", L"@=\"eaten\"", L"[" + key_ + L"\\Eaten]",
                                           L"00,\\", L"zz"});
        lines_.push_back(rest + (c_.Chance(10) ? L" ;c" : L""));
        // What follows it, which a continuation may take up.
        lines_.push_back(L"\"after\"=\"kept\"");
    }

    Composer& c_;
    std::wstring key_;
    bool alone_;
    int next_ = 0;
    std::vector<std::wstring> lines_;
};

}  // namespace

std::vector<GeneratedScript> GenerateRegScripts(std::uint32_t seed, std::size_t files, const std::wstring& base) {
    std::vector<GeneratedScript> scripts;
    for (std::size_t f = 0; f < files; ++f) {
        const bool ansi = f % 4 == 3;
        Composer compose(seed * 7919u + static_cast<std::uint32_t>(f), ansi);
        GeneratedScript script;
        script.name = L"gen" + std::to_wstring(f) + L".reg";
        script.alone = f % 3 == 0;
        std::wstring header = ansi ? L"REGEDIT4" : L"Windows Registry Editor Version 5.00";
        if (compose.Chance(10)) header = compose.Blank() + L" " + header;
        const std::wstring eol = compose.OneOf<std::wstring>({L"\r\n", L"\r\n", L"\r\n", L"\n"});
        std::wstring text = header + eol + eol;
        const std::wstring folder = L"HKEY_CURRENT_USER\\" + base + L"\\F" + std::to_wstring(f);
        const int cases = script.alone ? 1 : 2 + compose.Pick(4);
        for (int c = 0; c < cases; ++c) {
            CaseWriter writer(compose, folder + L"\\C" + std::to_wstring(c), script.alone);
            for (const auto& line : writer.Lines()) text += line + eol;
            text += eol;
        }
        script.text = text;
        if (ansi) {
            for (wchar_t ch : text) script.bytes.push_back(static_cast<std::uint8_t>(ch));
        } else {
            script.bytes = {0xFF, 0xFE};
            const auto body = EncodeUtf16Le(text);
            script.bytes.insert(script.bytes.end(), body.begin(), body.end());
        }
        scripts.push_back(std::move(script));
    }
    return scripts;
}

}  // namespace keyscour::testing
