// Delimited text files as the text folder reads them: the input is a schema.ini and a file,
// separated by the first NUL byte (no NUL: no schema.ini). The schema.ini text goes through
// ParseSchemaIni and ApplySchemaSection (and ParseExtendedProperties), the file through
// DescribeTextFile (character set, delimiter sniffing, header, type inference) and a full
// read of its records, every field classified and read as a date (also in the
// DateTimeFormat that the schema.ini gives, and written back in it). Each record must then
// survive a round trip: written with FormatRecord (and AppendRecordFields, the same text),
// read back to the same fields.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/text/text_file.h"
#include "engine/text/text_write.h"

using namespace orv::engine::text;

namespace {

const std::string& ScratchPath() {
    static const std::string path = "/tmp/fuzz_csv_" + std::to_string(::getpid()) + ".csv";
    return path;
}

void CheckRoundTrip(const std::vector<std::string>& fields, std::size_t count, char delimiter, bool quoteAll) {
    if (count == 0) return;
    // Bare empty fields are NULL, which is written as an empty field again.
    std::vector<std::optional<std::string>> record;
    for (std::size_t i = 0; i < count; ++i)
        record.push_back(fields[i].empty() ? std::nullopt : std::optional<std::string>(fields[i]));
    WriteStyle style;
    style.quoteAll = quoteAll;
    std::string line = FormatRecord(record, delimiter, style);
    // The rewrite's path for unchanged records writes the same text.
    std::string direct;
    AppendRecordFields(direct, fields, std::vector<bool>(count, false), count, delimiter, quoteAll);
    if (direct + style.lineEnd != line) std::abort();
    TextReader reader(line, delimiter);
    std::vector<std::string> back;
    std::size_t backCount = 0;
    if (!reader.Next(back, backCount)) std::abort();
    // A record of one empty field is written as "" and reads back as one empty field.
    if (backCount != count) std::abort();
    for (std::size_t i = 0; i < count; ++i)
        if (back[i] != fields[i]) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t nul = input.find('\0');
    std::string_view ini = nul == std::string_view::npos ? std::string_view() : input.substr(0, nul);
    std::string_view file = nul == std::string_view::npos ? input : input.substr(nul + 1);

    TextSettings settings = ParseExtendedProperties(ini);
    ApplySchemaSection(ParseSchemaIni(ini), "f.csv", settings);
    if (settings.maxScanRows && *settings.maxScanRows > 1000) settings.maxScanRows = 1000;

    int fd = ::open(ScratchPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return 0;
    ssize_t written = ::write(fd, file.data(), file.size());
    ::close(fd);
    if (written != ssize_t(file.size())) return 0;

    TextFileDescription description;
    std::string error;
    if (!DescribeTextFile(ScratchPath(), settings, description, error)) return 0;

    TextReader reader;
    if (!reader.Open(ScratchPath()) || !reader.Rewind(description.charset, description.delimiter)) return 0;
    std::vector<std::string> fields;
    std::size_t count = 0;
    for (int records = 0; records < 10000 && reader.Next(fields, count); ++records) {
        for (std::size_t i = 0; i < count; ++i) {
            ClassifyValue(fields[i]);
            ParseDateValue(fields[i]);
            if (!description.dateTimeFormat.empty())
                if (auto iso = ParseDateWithFormat(fields[i], description.dateTimeFormat))
                    FormatDateWithFormat(*iso, description.dateTimeFormat);
        }
        CheckRoundTrip(fields, count, description.delimiter, records % 2 == 1);
    }
    return 0;
}
