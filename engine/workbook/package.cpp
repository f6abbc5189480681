#include "engine/workbook/package.h"

namespace orv::engine::workbook {

std::string_view LocalName(std::string_view qualified) {
    std::size_t colon = qualified.rfind(':');
    return colon == std::string_view::npos ? qualified : qualified.substr(colon + 1);
}

std::string_view LocalName(const char* qualified) {
    const char* local = qualified;
    const char* end = qualified;
    for (; *end; ++end)
        if (*end == ':') local = end + 1;
    return std::string_view(local, std::size_t(end - local));
}

std::string_view Prefix(std::string_view qualified) {
    std::size_t colon = qualified.rfind(':');
    return colon == std::string_view::npos ? std::string_view() : qualified.substr(0, colon + 1);
}

const char* Attribute(const char* const* attributes, std::string_view local) {
    for (; attributes[0]; attributes += 2)
        if (LocalName(attributes[0]) == local) return attributes[1];  // one pass each
    return nullptr;
}

std::string ResolveTarget(std::string_view source, std::string_view target) {
    std::string joined;
    if (!target.empty() && target.front() == '/') {
        joined = target.substr(1);
    } else {
        std::size_t slash = source.rfind('/');
        joined = std::string(slash == std::string_view::npos ? std::string_view() : source.substr(0, slash + 1));
        joined += target;
    }
    std::vector<std::string_view> segments;
    std::string_view rest = joined;
    while (!rest.empty()) {
        std::size_t slash = rest.find('/');
        std::string_view segment = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (segment.empty() || segment == ".") continue;
        if (segment == "..") {
            if (!segments.empty()) segments.pop_back();
            continue;
        }
        segments.push_back(segment);
    }
    std::string path;
    for (std::string_view segment : segments) {
        if (!path.empty()) path += '/';
        path += segment;
    }
    return path;
}

std::string RelationshipsPart(std::string_view part) {
    std::size_t slash = part.rfind('/');
    std::size_t name = slash == std::string_view::npos ? 0 : slash + 1;
    return std::string(part.substr(0, name)) + "_rels/" + std::string(part.substr(name)) + ".rels";
}

std::optional<Relationship> RelationshipOf(const char* const* attributes, std::string_view source) {
    const char* id = Attribute(attributes, "Id");
    if (!id) return std::nullopt;
    const char* type = Attribute(attributes, "Type");
    const char* target = Attribute(attributes, "Target");
    const char* mode = Attribute(attributes, "TargetMode");
    Relationship relationship{id, type ? type : "", target ? target : "", {}};
    if (!(mode && std::string_view(mode) == "External") && target)
        relationship.part = ResolveTarget(source, relationship.target);
    return relationship;
}

const Relationship* FindRelationship(const std::vector<Relationship>& relationships, std::string_view suffix) {
    for (const Relationship& relationship : relationships) {
        std::string_view type = relationship.type;
        if (type.size() >= suffix.size() && type.substr(type.size() - suffix.size()) == suffix) return &relationship;
    }
    return nullptr;
}

PartStream::~PartStream() {
    if (m_file) zip_fclose(m_file);
}

zip_int64_t PartStream::Read(void* into, std::size_t size, std::string& error) {
    zip_int64_t read = zip_fread(m_file, into, size);
    if (read < 0) {
        error = "the part " + m_part + " is damaged: " + zip_file_strerror(m_file);
        return -1;
    }
    m_total += zip_uint64_t(read);
    if (m_total > m_declared) {
        error = "the part " + m_part + " unpacks to more than the " + std::to_string(m_declared) +
                " bytes the archive declares for it: the archive is damaged or made to exhaust memory";
        return -1;
    }
    return read;
}

zip_int64_t Package::Find(const std::string& part) const {
    zip_int64_t index = zip_name_locate(m_zip, part.c_str(), 0);
    // Part names compare without case in the packaging format.
    if (index < 0) index = zip_name_locate(m_zip, part.c_str(), ZIP_FL_NOCASE);
    return index;
}

zip_uint64_t Package::DeclaredSize(const std::string& part) const {
    zip_int64_t index = Find(part);
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (index < 0 || zip_stat_index(m_zip, zip_uint64_t(index), 0, &stat) != 0 || !(stat.valid & ZIP_STAT_SIZE))
        return 0;
    return stat.size;
}

bool Package::Open(const std::string& part, PartStream& stream, std::string& error) const {
    zip_int64_t index = Find(part);
    if (index < 0) {
        error = "the part " + part + " is missing from the archive";
        return false;
    }
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(m_zip, zip_uint64_t(index), 0, &stat) != 0 || !(stat.valid & ZIP_STAT_SIZE)) {
        error = "the archive is damaged: the size of the part " + part + " cannot be read";
        return false;
    }
    if (stat.size > kMaxPartSize) {
        error = "the part " + part + " would unpack to " + std::to_string(stat.size) +
                " bytes, more than the 1 GiB this reader accepts for one part";
        return false;
    }
    zip_file_t* file = zip_fopen_index(m_zip, zip_uint64_t(index), 0);
    if (!file) {
        error = "the part " + part + " cannot be read: " + zip_strerror(m_zip);
        return false;
    }
    if (stream.m_file) zip_fclose(stream.m_file);
    stream.m_file = file;
    stream.m_part = part;
    stream.m_declared = stat.size;
    stream.m_total = 0;
    return true;
}

}  // namespace orv::engine::workbook
