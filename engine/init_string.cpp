#include "engine/init_string.h"

#include "platform/format.h"
#include "platform/strings.h"
#include "platform/utf.h"

namespace orv::engine {
namespace {

// Blanks around keys and values: space, tab and line ends.
constexpr std::u16string_view kBlanks = u" \t\r\n";
bool IsBlank(char16_t c) { return kBlanks.find(c) != std::u16string_view::npos; }

class Reader {
public:
    Reader(std::u16string_view text, std::u16string& error) : m_text(text), m_error(error) {}

    bool Run(std::vector<InitPair>& pairs) {
        while (m_pos < m_text.size()) {
            SkipBlanks();
            if (m_pos >= m_text.size()) break;
            if (m_text[m_pos] == u';') {  // an empty piece: ";;" or a leading ";"
                ++m_pos;
                continue;
            }
            InitPair pair;
            if (!ReadKey(pair.key) || !ReadValue(pair.value)) return false;
            pairs.push_back(std::move(pair));
        }
        return true;
    }

private:
    void SkipBlanks() {
        while (m_pos < m_text.size() && IsBlank(m_text[m_pos])) ++m_pos;
    }

    bool Fail(std::size_t at, const char16_t* what) {
        m_error = platform::Format(u"The initialisation string is malformed at character %u: %s",
                                   static_cast<unsigned>(at + 1), what);
        return false;
    }

    // A key runs to the first "=" that is not doubled.
    bool ReadKey(std::u16string& key) {
        std::size_t start = m_pos;
        while (m_pos < m_text.size()) {
            char16_t c = m_text[m_pos];
            if (c == u'=') {
                if (m_pos + 1 < m_text.size() && m_text[m_pos + 1] == u'=') {
                    key += u'=';
                    m_pos += 2;
                    continue;
                }
                break;
            }
            if (c == u';') return Fail(start, u"a key without \"=\" and a value.");
            key += c;
            ++m_pos;
        }
        if (m_pos >= m_text.size()) return Fail(start, u"a key without \"=\" and a value.");
        key = std::u16string(platform::Trim(key, kBlanks));
        if (key.empty()) return Fail(start, u"a value without a key before its \"=\".");
        ++m_pos;  // the "="
        return true;
    }

    bool ReadValue(std::u16string& value) {
        SkipBlanks();
        if (m_pos < m_text.size() && (m_text[m_pos] == u'\'' || m_text[m_pos] == u'"')) return ReadQuoted(value);
        std::size_t end = m_text.find(u';', m_pos);
        if (end == std::u16string_view::npos) end = m_text.size();
        value = std::u16string(platform::Trim(m_text.substr(m_pos, end - m_pos), kBlanks));
        m_pos = end < m_text.size() ? end + 1 : end;
        return true;
    }

    bool ReadQuoted(std::u16string& value) {
        const std::size_t open = m_pos;
        const char16_t quote = m_text[m_pos++];
        for (;;) {
            if (m_pos >= m_text.size()) return Fail(open, u"a quoted value without its closing quote.");
            char16_t c = m_text[m_pos++];
            if (c != quote) {
                value += c;
                continue;
            }
            if (m_pos < m_text.size() && m_text[m_pos] == quote) {  // doubled: one quote
                value += quote;
                ++m_pos;
                continue;
            }
            break;
        }
        SkipBlanks();
        if (m_pos < m_text.size()) {
            if (m_text[m_pos] != u';') return Fail(m_pos, u"text after a closing quote; a \";\" must follow it.");
            ++m_pos;
        }
        return true;
    }

    std::u16string_view m_text;
    std::u16string& m_error;
    std::size_t m_pos = 0;
};

}  // namespace

std::optional<InitString> InitString::Parse(std::u16string_view text, std::u16string& error) {
    InitString result;
    Reader reader(text, error);
    if (!reader.Run(result.m_pairs)) return std::nullopt;
    return result;
}

const std::u16string* InitString::Find(std::u16string_view key) const {
    for (auto it = m_pairs.rbegin(); it != m_pairs.rend(); ++it)
        if (platform::EqualsNoCase(it->key, key)) return &it->value;
    return nullptr;
}

std::vector<InitPair> ParsePropertyList(std::u16string_view text) {
    std::vector<InitPair> pairs;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find(u';', pos);
        if (end == std::u16string_view::npos) end = text.size();
        std::u16string_view piece = platform::Trim(text.substr(pos, end - pos), kBlanks);
        if (!piece.empty()) {
            std::size_t eq = piece.find(u'=');
            if (eq == std::u16string_view::npos) pairs.push_back({std::u16string(piece), std::u16string()});
            else
                pairs.push_back({std::u16string(platform::Trim(piece.substr(0, eq), kBlanks)),
                                 std::u16string(platform::Trim(piece.substr(eq + 1), kBlanks))});
        }
        pos = end + 1;
    }
    return pairs;
}

}  // namespace orv::engine
