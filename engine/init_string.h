// Reading OLE DB initialisation strings ("Provider=...;Data Source=...;") into key/value
// pairs, by the rules OLE DB gives them: keys without regard to case, blanks around keys
// and values trimmed, values in ' or " quotes may hold ; and =, a doubled quote inside
// stands for one, a doubled = inside a key stands for one.
//
// Pure functions over values: any thread may call them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orv::engine {

struct InitPair {
    std::u16string key;  // as written, trimmed
    std::u16string value;  // unquoted, trimmed unless it was quoted
};

class InitString {
public:
    // Reads `text`; on malformed text returns nothing and sets `error` to a sentence that
    // says what is wrong and at which character (counted from 1).
    static std::optional<InitString> Parse(std::u16string_view text, std::u16string& error);

    // The value of `key` (compared without regard to case); the last one when a key is
    // given twice, as OLE DB takes it.
    const std::u16string* Find(std::u16string_view key) const;
    const std::vector<InitPair>& Pairs() const { return m_pairs; }

private:
    std::vector<InitPair> m_pairs;
};

// The same rules for the property lists inside Extended Properties
// ('Excel 8.0;HDR=YES;IMEX=0'): a piece without "=" is a flag such as the format name,
// kept with an empty value.
std::vector<InitPair> ParsePropertyList(std::u16string_view text);

}  // namespace orv::engine
