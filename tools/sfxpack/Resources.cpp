#include "Resources.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <ostream>

namespace sfxpack {

namespace {

// ---- bytes ------------------------------------------------------------------------------------

uint16_t U16(const uint8_t* p) {
    return (uint16_t)(p[0] | p[1] << 8);
}
uint32_t U32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
void Set16(std::vector<uint8_t>* b, size_t at, uint32_t v) {
    (*b)[at] = (uint8_t)v;
    (*b)[at + 1] = (uint8_t)(v >> 8);
}
void Set32(std::vector<uint8_t>* b, size_t at, uint32_t v) {
    Set16(b, at, v & 0xFFFF);
    Set16(b, at + 2, v >> 16);
}
void Put16(std::vector<uint8_t>* b, uint32_t v) {
    b->resize(b->size() + 2);
    Set16(b, b->size() - 2, v);
}
void Put32(std::vector<uint8_t>* b, uint32_t v) {
    b->resize(b->size() + 4);
    Set32(b, b->size() - 4, v);
}
void PadTo(std::vector<uint8_t>* b, size_t alignment) {
    b->resize((b->size() + alignment - 1) / alignment * alignment, 0);
}
uint64_t AlignUp(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}
std::string Hex(uint32_t value) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value & 15]);
        value >>= 4;
    } while (value);
    return "0x" + text;
}

// ---- text -------------------------------------------------------------------------------------

std::string ToUtf8(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        uint32_t code = text[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000)
            code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
        else if (code >= 0xD800 && code < 0xE000)
            code = 0xFFFD; // a lone surrogate
        if (code < 0x80) {
            out += (char)code;
        } else if (code < 0x800) {
            out += (char)(0xC0 | code >> 6);
            out += (char)(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += (char)(0xE0 | code >> 12);
            out += (char)(0x80 | (code >> 6 & 0x3F));
            out += (char)(0x80 | (code & 0x3F));
        } else {
            out += (char)(0xF0 | code >> 18);
            out += (char)(0x80 | (code >> 12 & 0x3F));
            out += (char)(0x80 | (code >> 6 & 0x3F));
            out += (char)(0x80 | (code & 0x3F));
        }
    }
    return out;
}

std::string KeyText(const ResourceKey& key) {
    return key.named ? "\"" + ToUtf8(key.name) + "\"" : std::to_string(key.id);
}

ResourceKey Id(uint16_t id) {
    ResourceKey key;
    key.id = id;
    return key;
}

// ---- PE headers -------------------------------------------------------------------------------

struct Section {
    size_t header; // file offset of its entry in the section table
    uint32_t virtualSize, virtualAddress, rawSize, rawOffset, characteristics;
    uint32_t Span() const { return std::max(virtualSize, rawSize); }
};

struct PeLayout {
    size_t optional = 0, directories = 0;
    uint32_t directoryCount = 0, fileAlignment = 0, sectionAlignment = 0;
    std::vector<Section> sections;
    size_t Checksum() const { return optional + 64; }
    size_t SizeOfImage() const { return optional + 56; }
    size_t SizeOfInitializedData() const { return optional + 8; }
};

const uint32_t kDiscardable = 0x02000000, kInitializedData = 0x40;
const int kResourceDirectory = 2, kSecurityDirectory = 4, kDebugDirectory = 6;

// The headers of a PE image from its first bytes (the whole headers must be there).
bool ParseHeaders(const uint8_t* data, size_t size, PeLayout* pe, std::string* error) {
    *error = "is not a Windows executable";
    if (size < 0x40 || data[0] != 'M' || data[1] != 'Z') return false;
    uint32_t at = U32(data + 0x3C);
    if (at > size || size - at < 24 || std::memcmp(data + at, "PE\0\0", 4) != 0) return false;
    uint16_t sectionCount = U16(data + at + 6), optionalSize = U16(data + at + 20);
    pe->optional = at + 24;
    if (size - pe->optional < optionalSize || optionalSize < 2) return false;
    uint16_t magic = U16(data + pe->optional);
    size_t fixed = magic == 0x10B ? 96 : magic == 0x20B ? 112 : 0;
    if (fixed == 0 || optionalSize < fixed) return false;
    pe->directories = pe->optional + fixed;
    pe->directoryCount = U32(data + pe->directories - 4);
    pe->sectionAlignment = U32(data + pe->optional + 32);
    pe->fileAlignment = U32(data + pe->optional + 36);
    if (pe->directoryCount > (optionalSize - fixed) / 8 || pe->fileAlignment == 0 ||
        pe->sectionAlignment == 0)
        return false;
    size_t table = pe->optional + optionalSize;
    if ((size - table) / 40 < sectionCount) {
        *error = "its section table cannot be read";
        return false;
    }
    pe->sections.clear();
    for (size_t i = 0; i < sectionCount; i++) {
        const uint8_t* s = data + table + 40 * i;
        pe->sections.push_back(
            {table + 40 * i, U32(s + 8), U32(s + 12), U32(s + 16), U32(s + 20), U32(s + 36)});
    }
    error->clear();
    return true;
}

uint32_t DirectoryRva(const uint8_t* headers, const PeLayout& pe, int index, uint32_t* size) {
    if ((uint32_t)index >= pe.directoryCount) return *size = 0;
    *size = U32(headers + pe.directories + 8 * index + 4);
    return U32(headers + pe.directories + 8 * index);
}

// The section that holds an RVA; -1 for none.
int SectionOf(const PeLayout& pe, uint32_t rva) {
    for (size_t i = 0; i < pe.sections.size(); i++) {
        const Section& s = pe.sections[i];
        if (rva >= s.virtualAddress && rva - s.virtualAddress < s.Span()) return (int)i;
    }
    return -1;
}

// ---- reading the tree -------------------------------------------------------------------------

struct TreeReader {
    const std::vector<uint8_t>& bytes; // the section's raw data
    uint32_t sectionRva;
    uint32_t base; // the root directory's offset in bytes
    ResourceSection* out;
    size_t visits = 0; // entries looked at, bounded: entries may share one directory

    void Problem(const std::string& text) {
        if (out->problems.size() < 20) out->problems.push_back(text);
    }
    bool Inside(uint64_t offset, uint64_t size) const {
        return offset <= bytes.size() && size <= bytes.size() - offset;
    }

    void Directory(uint32_t offset, int level, ResourceKey keys[3], const std::string& where) {
        uint64_t at = (uint64_t)base + offset;
        if (!Inside(at, 16)) return Problem(where + ": directory outside the section");
        uint32_t named = U16(&bytes[at + 12]), count = named + U16(&bytes[at + 14]);
        if (!Inside(at + 16, 8ull * count))
            return Problem(where + ": directory entries outside the section");
        for (uint32_t i = 0; i < count; i++) {
            if (++visits > 100000) return Problem(where + ": more than 100000 entries in the tree");
            const uint8_t* entry = &bytes[at + 16 + 8 * i];
            uint32_t nameField = U32(entry), target = U32(entry + 4);
            ResourceKey key;
            if (nameField & 0x80000000u) {
                uint64_t name = (uint64_t)base + (nameField & 0x7FFFFFFF);
                if (!Inside(name, 2) || !Inside(name + 2, 2ull * U16(&bytes[name]))) {
                    Problem(where + ": a name outside the section");
                    continue;
                }
                key.named = true;
                for (uint32_t c = 0; c < U16(&bytes[name]); c++)
                    key.name += (char16_t)U16(&bytes[name + 2 + 2 * c]);
            } else {
                key.id = (uint16_t)nameField;
                if (nameField > 0xFFFF) Problem(where + ": id " + Hex(nameField) + " is no WORD");
            }
            std::string here = where + "/" + KeyText(key);
            if (key.named != (i < named))
                Problem(here + ": named and id entries are mixed up");
            else if (i > 0 && !(keys[level] < key) && keys[level].named == key.named)
                Problem(here + ": entries out of order (Windows searches them by halves)");
            keys[level] = key;
            if (level < 2) {
                if (!(target & 0x80000000u)) {
                    Problem(here + ": data where a directory belongs");
                    continue;
                }
                Directory(target & 0x7FFFFFFF, level + 1, keys, here);
            } else if (target & 0x80000000u) {
                Problem(here + ": a directory below the language level");
            } else {
                Leaf(target, keys, here);
            }
        }
    }

    void Leaf(uint32_t offset, ResourceKey keys[3], const std::string& where) {
        uint64_t at = (uint64_t)base + offset;
        if (!Inside(at, 16)) return Problem(where + ": data entry outside the section");
        uint32_t rva = U32(&bytes[at]), size = U32(&bytes[at + 4]);
        if (rva < sectionRva || !Inside(rva - sectionRva, size))
            return Problem(where + ": data outside the resource section");
        Resource resource;
        resource.type = keys[0];
        resource.name = keys[1];
        resource.language = keys[2];
        resource.codePage = U32(&bytes[at + 8]);
        resource.data.assign(bytes.begin() + (rva - sectionRva),
                             bytes.begin() + (rva - sectionRva) + size);
        out->resources.push_back(std::move(resource));
    }
};

// Reads the tree from the section's bytes; the headers give where it lies.
bool ReadTree(const uint8_t* headers, const PeLayout& pe, const std::vector<uint8_t>& sectionBytes,
              int sectionIndex, ResourceSection* section) {
    uint32_t size = 0;
    uint32_t rva = DirectoryRva(headers, pe, kResourceDirectory, &size);
    const Section& s = pe.sections[sectionIndex];
    TreeReader reader{sectionBytes, s.virtualAddress, rva - s.virtualAddress, section};
    if (size < 16 || (uint64_t)rva - s.virtualAddress + size > s.Span())
        section->problems.push_back("the resource directory's size " + std::to_string(size) +
                                    " does not fit its section");
    ResourceKey keys[3];
    reader.Directory(0, 0, keys, "resources");
    return true;
}

// Finds the resource section; false with *error when there is a directory but no section.
bool FindResourceSection(const uint8_t* headers, const PeLayout& pe, ResourceSection* section,
                         int* index, std::string* error) {
    uint32_t size = 0;
    uint32_t rva = DirectoryRva(headers, pe, kResourceDirectory, &size);
    section->hasResources = rva != 0;
    if (!section->hasResources) return true;
    *index = SectionOf(pe, rva);
    if (*index < 0) {
        *error = "its resource directory lies in no section";
        return false;
    }
    return true;
}

// ---- icons ------------------------------------------------------------------------------------

// The pixel size of an icon image (a PNG or a bitmap without its file header); false for
// neither.
bool ImageSize(const uint8_t* image, uint32_t size, uint32_t* width, uint32_t* height) {
    static const uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (size >= 24 && std::memcmp(image, kPng, 8) == 0 && std::memcmp(image + 12, "IHDR", 4) == 0) {
        *width = (uint32_t)image[16] << 24 | image[17] << 16 | image[18] << 8 | image[19];
        *height = (uint32_t)image[20] << 24 | image[21] << 16 | image[22] << 8 | image[23];
        return true;
    }
    if (size >= 40 && U32(image) >= 40 && U32(image) <= size) {
        int32_t w = (int32_t)U32(image + 4), h = (int32_t)U32(image + 8);
        if (w <= 0 || h <= 0) return false;
        *width = (uint32_t)w;
        *height = (uint32_t)h / 2; // the colour and the mask bitmaps, one above the other
        return true;
    }
    return false;
}

// ---- version information ----------------------------------------------------------------------

// One node: wLength, wValueLength, wType, key, padding, value, padding, children.
size_t BeginNode(std::vector<uint8_t>* out, const std::u16string& key, uint32_t valueLength,
                 bool text) {
    PadTo(out, 4);
    size_t start = out->size();
    Put16(out, 0);
    Put16(out, valueLength);
    Put16(out, text ? 1 : 0);
    for (char16_t c : key)
        Put16(out, c);
    Put16(out, 0);
    PadTo(out, 4);
    return start;
}
void EndNode(std::vector<uint8_t>* out, size_t start) {
    Set16(out, start, (uint32_t)(out->size() - start));
}

struct VersionNode {
    std::u16string key;
    bool text = false;
    std::vector<uint8_t> value;
    size_t end = 0; // of the node, children included
    size_t children = 0;
};
bool ReadNode(const std::vector<uint8_t>& data, size_t at, size_t limit, VersionNode* node) {
    if (at + 6 > limit) return false;
    size_t length = U16(&data[at]), valueLength = U16(&data[at + 2]);
    node->text = U16(&data[at + 4]) == 1;
    if (length < 6 || length > limit - at) return false;
    node->end = at + length;
    node->key.clear();
    size_t p = at + 6;
    for (; p + 2 <= node->end && U16(&data[p]); p += 2)
        node->key += (char16_t)U16(&data[p]);
    p = AlignUp(p + 2, 4);
    size_t valueBytes = node->text ? 2 * valueLength : valueLength;
    valueBytes = std::min(valueBytes, p < node->end ? node->end - p : 0);
    node->value.assign(data.begin() + std::min(p, node->end),
                       data.begin() + std::min(p, node->end) + valueBytes);
    node->children = std::min<size_t>(AlignUp(p + valueBytes, 4), node->end);
    return true;
}

std::string TextValue(const std::vector<uint8_t>& value) {
    std::u16string text;
    for (size_t i = 0; i + 1 < value.size() && U16(&value[i]); i += 2)
        text += (char16_t)U16(&value[i]);
    return ToUtf8(text);
}

std::string VersionText(uint32_t ms, uint32_t ls) {
    return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." +
           std::to_string(ls >> 16) + "." + std::to_string(ls & 0xFFFF);
}

void ReadVersionInfo(const std::vector<uint8_t>& data, InstallerIdentity* identity) {
    VersionNode root;
    if (!ReadNode(data, 0, data.size(), &root)) return;
    if (root.value.size() >= 52 && U32(&root.value[0]) == 0xFEEF04BD) {
        identity->fileVersion = VersionText(U32(&root.value[8]), U32(&root.value[12]));
        identity->productVersion = VersionText(U32(&root.value[16]), U32(&root.value[20]));
    }
    // StringFileInfo, then its tables, then their strings.
    for (size_t at = root.children; at < root.end;) {
        VersionNode info;
        if (!ReadNode(data, at, root.end, &info)) break;
        if (info.key == u"StringFileInfo")
            for (size_t t = info.children; t < info.end;) {
                VersionNode table;
                if (!ReadNode(data, t, info.end, &table)) break;
                for (size_t s = table.children; s < table.end;) {
                    VersionNode string;
                    if (!ReadNode(data, s, table.end, &string)) break;
                    identity->versionStrings.push_back(
                        {ToUtf8(string.key), TextValue(string.value)});
                    s = AlignUp(string.end, 4);
                }
                t = AlignUp(table.end, 4);
            }
        at = AlignUp(info.end, 4);
    }
}

// ---- XML --------------------------------------------------------------------------------------

struct XmlElement {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
};

class XmlParser {
  public:
    XmlParser(const std::string& text, std::vector<XmlElement>* elements)
        : _s(text), _elements(elements) {}

    bool Parse(std::string* error) {
        std::u16string ignored;
        if (!ToUtf16(_s, &ignored)) return Fail("it is not UTF-8 text", error);
        for (unsigned char c : _s)
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
                return Fail("a control character", error);
        if (_s.compare(0, 3, "\xEF\xBB\xBF") == 0) _i = 3;
        if (_s.compare(_i, 6, "<?xml ") == 0 && !Skip("?>")) return Fail("unended <?xml", error);
        bool root = false;
        std::vector<std::string> open;
        while (true) {
            size_t start = _i;
            while (_i < _s.size() && _s[_i] != '<')
                _i++;
            if (!Text(start, _i, !open.empty())) return Fail(_fault, error);
            if (_i >= _s.size()) break;
            if (At("<!--")) {
                size_t end = _s.find("-->", _i + 4);
                if (end == std::string::npos || _s.find("--", _i + 4) < end)
                    return Fail("a comment is not closed by -->", error);
                _i = end + 3;
            } else if (At("<![CDATA[")) {
                if (open.empty()) return Fail("CDATA outside the root element", error);
                if (!Skip("]]>")) return Fail("unended CDATA", error);
            } else if (At("<?")) {
                _i += 2;
                if (Name().empty() || !Skip("?>"))
                    return Fail("a bad processing instruction", error);
            } else if (At("<!")) {
                return Fail("a DOCTYPE or declaration, which manifests do not have", error);
            } else if (At("</")) {
                _i += 2;
                std::string name = Name();
                Blanks();
                if (open.empty() || name != open.back() || !Take('>'))
                    return Fail("</" + name + "> does not close " +
                                    (open.empty() ? "anything" : "<" + open.back() + ">"),
                                error);
                open.pop_back();
            } else {
                if (open.empty() && root) return Fail("a second root element", error);
                _i++;
                XmlElement element;
                element.name = Name();
                if (element.name.empty()) return Fail("a '<' that starts no tag", error);
                if (!Attributes(&element)) return Fail(_fault, error);
                root = true;
                if (_elements) _elements->push_back(element);
                if (Take('/')) {
                    if (!Take('>')) return Fail("'/' not followed by '>'", error);
                } else if (Take('>')) {
                    open.push_back(element.name);
                } else {
                    return Fail("<" + element.name + " is not closed by '>'", error);
                }
            }
        }
        if (!open.empty()) return Fail("<" + open.back() + "> is never closed", error);
        if (!root) return Fail("there is no root element", error);
        return true;
    }

  private:
    bool Fail(const std::string& what, std::string* error) {
        size_t line = 1 + std::count(_s.begin(), _s.begin() + std::min(_i, _s.size()), '\n');
        *error = "line " + std::to_string(line) + ": " + what;
        return false;
    }
    bool At(const char* text) const { return _s.compare(_i, std::strlen(text), text) == 0; }
    bool Take(char c) {
        if (_i < _s.size() && _s[_i] == c) return ++_i, true;
        return false;
    }
    bool Skip(const char* end) {
        size_t found = _s.find(end, _i);
        if (found == std::string::npos) return false;
        _i = found + std::strlen(end);
        return true;
    }
    void Blanks() {
        while (_i < _s.size() && std::strchr(" \t\r\n", _s[_i]) && _s[_i])
            _i++;
    }
    static bool NameChar(unsigned char c, bool first) {
        return std::isalpha(c) || c == '_' || c == ':' || c >= 0x80 ||
               (!first && (std::isdigit(c) || c == '-' || c == '.'));
    }
    std::string Name() {
        size_t start = _i;
        while (_i < _s.size() && NameChar((unsigned char)_s[_i], _i == start))
            _i++;
        return _s.substr(start, _i - start);
    }
    // Character data or an attribute value: known entities only; outside the root, blanks only.
    bool Text(size_t from, size_t to, bool inside) {
        for (size_t p = from; p < to; p++) {
            char c = _s[p];
            if (!inside && !std::strchr(" \t\r\n", c)) {
                _fault = "text outside the root element";
                return false;
            }
            if (c == '&') {
                size_t end = _s.find(';', p);
                std::string entity = end < to ? _s.substr(p + 1, end - p - 1) : "";
                bool known = entity == "lt" || entity == "gt" || entity == "amp" ||
                             entity == "apos" || entity == "quot";
                if (!known && entity.size() > 1 && entity[0] == '#') {
                    bool hex = entity[1] == 'x';
                    std::string digits = entity.substr(hex ? 2 : 1);
                    known = !digits.empty() && digits.size() <= 6 &&
                            digits.find_first_not_of(hex ? "0123456789abcdefABCDEF"
                                                         : "0123456789") == std::string::npos;
                }
                if (!known) {
                    _fault = "an unknown entity or a bare '&'";
                    return false;
                }
            }
        }
        if (inside && _s.substr(from, to - from).find("]]>") != std::string::npos) {
            _fault = "']]>' in text";
            return false;
        }
        return true;
    }
    bool Attributes(XmlElement* element) {
        while (true) {
            size_t before = _i;
            Blanks();
            if (_i >= _s.size() || _s[_i] == '>' || _s[_i] == '/') return true;
            std::string name = _i > before ? Name() : "";
            if (name.empty()) {
                _fault = "a bad attribute in <" + element->name + ">";
                return false;
            }
            Blanks();
            char quote = _i + 1 < _s.size() && Take('=') ? (Blanks(), _s[_i]) : 0;
            if (quote != '"' && quote != '\'') {
                _fault = "attribute " + name + " has no quoted value";
                return false;
            }
            size_t end = _s.find(quote, ++_i);
            if (end == std::string::npos || _s.find('<', _i) < end) {
                _fault = "attribute " + name + " is not closed";
                return false;
            }
            if (!Text(_i, end, true)) return false;
            for (const auto& seen : element->attributes)
                if (seen.first == name) {
                    _fault = "attribute " + name + " twice in <" + element->name + ">";
                    return false;
                }
            element->attributes.push_back({name, _s.substr(_i, end - _i)});
            _i = end + 1;
        }
    }

    const std::string& _s;
    std::vector<XmlElement>* _elements;
    size_t _i = 0;
    std::string _fault;
};

std::string LocalName(const std::string& name) {
    size_t colon = name.find(':');
    return colon == std::string::npos ? name : name.substr(colon + 1);
}

// The execution level that a manifest requests; empty for none.
std::string ManifestLevel(const std::string& manifest) {
    std::vector<XmlElement> elements;
    std::string error;
    if (!XmlParser(manifest, &elements).Parse(&error)) return "";
    for (const XmlElement& element : elements)
        if (LocalName(element.name) == "requestedExecutionLevel")
            for (const auto& attribute : element.attributes)
                if (attribute.first == "level") return attribute.second;
    return "";
}

const char* const kLevels[] = {"asInvoker", "highestAvailable", "requireAdministrator"};

// The trust information and the compatibility sections, inserted in front of </assembly>.
bool AddExecutionLevel(const std::string& manifest, const std::string& level, std::string* out,
                       std::string* error) {
    std::vector<XmlElement> elements;
    if (!XmlParser(manifest, &elements).Parse(error)) {
        *error = "the stub's manifest does not parse: " + *error;
        return false;
    }
    for (const XmlElement& element : elements) {
        std::string name = LocalName(element.name);
        if (name == "trustInfo" || name == "compatibility") {
            *error = "the stub's manifest has a <" + name + "> section already";
            return false;
        }
    }
    size_t end = manifest.rfind("</assembly>");
    if (end == std::string::npos) {
        *error = "the stub's manifest has no </assembly>";
        return false;
    }
    const char* eol = manifest.find("\r\n") != std::string::npos ? "\r\n" : "\n";
    static const char* const kSystems[][2] = {
        {"Windows Vista", "e2011457-1546-43c5-a5fe-008deee3d3f0"},
        {"Windows 7", "35138b9a-5d96-4fbd-8e2d-a2440225f93a"},
        {"Windows 8", "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38"},
        {"Windows 8.1", "1f676c76-80e1-4239-95bb-83d0f6d0da78"},
        {"Windows 10 and 11", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"}};
    std::string added;
    auto line = [&](const std::string& text) { added += text + eol; };
    line("  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">");
    line("    <security>");
    line("      <requestedPrivileges>");
    line("        <requestedExecutionLevel level=\"" + level + "\" uiAccess=\"false\"/>");
    line("      </requestedPrivileges>");
    line("    </security>");
    line("  </trustInfo>");
    line("  <compatibility xmlns=\"urn:schemas-microsoft-com:compatibility.v1\">");
    line("    <application>");
    for (const auto& system : kSystems)
        line(std::string("      <!-- ") + system[0] + " -->" + eol + "      <supportedOS Id=\"{" +
             system[1] + "}\"/>");
    line("    </application>");
    line("  </compatibility>");
    *out = manifest.substr(0, end) + added + manifest.substr(end);
    return true;
}

uint32_t PeChecksum(const std::vector<uint8_t>& image, size_t checksumAt) {
    uint64_t sum = 0;
    for (size_t i = 0; i < image.size(); i += 2) {
        if (i == checksumAt || i == checksumAt + 2) continue;
        sum += image[i] | (i + 1 < image.size() ? image[i + 1] << 8 : 0);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return (uint32_t)(sum + image.size());
}

} // namespace

bool ToUtf16(const std::string& text, std::u16string* out) {
    out->clear();
    for (size_t i = 0; i < text.size();) {
        uint8_t c = (uint8_t)text[i];
        int more = c < 0x80             ? 0
                   : (c & 0xE0) == 0xC0 ? 1
                   : (c & 0xF0) == 0xE0 ? 2
                   : (c & 0xF8) == 0xF0 ? 3
                                        : -1;
        if (more < 0 || i + more >= text.size() + (more ? 0 : 1)) return false;
        uint32_t code = more == 0 ? c : c & (0x3F >> more);
        for (int k = 1; k <= more; k++) {
            uint8_t next = (uint8_t)text[i + k];
            if ((next & 0xC0) != 0x80) return false;
            code = code << 6 | (next & 0x3F);
        }
        static const uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (code < kLeast[more] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000))
            return false;
        if (code >= 0x10000) {
            out->push_back((char16_t)(0xD800 + ((code - 0x10000) >> 10)));
            out->push_back((char16_t)(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            out->push_back((char16_t)code);
        }
        i += 1 + more;
    }
    return true;
}

bool ReadFileBytes(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (in) bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in.is_open() || in.bad()) {
        *error = path + ": cannot be read";
        return false;
    }
    return true;
}

bool operator<(const ResourceKey& a, const ResourceKey& b) {
    if (a.named != b.named) return a.named;
    return a.named ? a.name < b.name : a.id < b.id;
}
bool operator==(const ResourceKey& a, const ResourceKey& b) {
    return a.named == b.named && (a.named ? a.name == b.name : a.id == b.id);
}

bool ReadResourceSection(const std::vector<uint8_t>& image, ResourceSection* section,
                         std::string* error) {
    PeLayout pe;
    int index = -1;
    *section = ResourceSection();
    if (!ParseHeaders(image.data(), image.size(), &pe, error) ||
        !FindResourceSection(image.data(), pe, section, &index, error))
        return false;
    if (!section->hasResources) return true;
    const Section& s = pe.sections[index];
    uint64_t end = std::min<uint64_t>((uint64_t)s.rawOffset + s.rawSize, image.size());
    std::vector<uint8_t> bytes(image.begin() + std::min<uint64_t>(s.rawOffset, end),
                               image.begin() + end);
    return ReadTree(image.data(), pe, bytes, index, section);
}

bool IsPortableExecutable(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> head(4096);
    in.read(reinterpret_cast<char*>(head.data()), (std::streamsize)head.size());
    head.resize((size_t)in.gcount());
    PeLayout pe;
    std::string error;
    return ParseHeaders(head.data(), head.size(), &pe, &error);
}

bool ReadResourceSection(const std::string& path, ResourceSection* section, std::string* error) {
    // The headers and the resource section only: an installer may be large.
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> head(65536);
    in.read(reinterpret_cast<char*>(head.data()), (std::streamsize)head.size());
    head.resize((size_t)in.gcount());
    if (in.bad() || head.empty()) {
        *error = path + ": cannot be read";
        return false;
    }
    PeLayout pe;
    int index = -1;
    *section = ResourceSection();
    if (!ParseHeaders(head.data(), head.size(), &pe, error) ||
        !FindResourceSection(head.data(), pe, section, &index, error)) {
        *error = path + ": " + *error;
        return false;
    }
    if (!section->hasResources) return true;
    const Section& s = pe.sections[index];
    if (s.rawSize > (1u << 28)) {
        *error = path + ": its resource section is over 256 MiB";
        return false;
    }
    std::vector<uint8_t> bytes(s.rawSize);
    in.clear();
    in.seekg(s.rawOffset);
    in.read(reinterpret_cast<char*>(bytes.data()), (std::streamsize)bytes.size());
    bytes.resize((size_t)in.gcount());
    return ReadTree(head.data(), pe, bytes, index, section);
}

std::vector<uint8_t> EncodeResourceSection(std::vector<Resource> resources, uint32_t sectionRva) {
    std::stable_sort(resources.begin(), resources.end(), [](const Resource& a, const Resource& b) {
        if (!(a.type == b.type)) return a.type < b.type;
        if (!(a.name == b.name)) return a.name < b.name;
        return a.language < b.language;
    });
    // The tree: directory i lists its children's keys; level 0 is the root.
    struct Dir {
        std::vector<ResourceKey> keys;
        std::vector<size_t> children; // directories, or at the language level resources
    };
    std::vector<Dir> types(1), names, languages;
    for (size_t r = 0; r < resources.size(); r++) {
        const Resource& res = resources[r];
        Dir& root = types[0];
        if (root.keys.empty() || !(root.keys.back() == res.type)) {
            root.keys.push_back(res.type);
            root.children.push_back(names.size());
            names.emplace_back();
        }
        Dir& type = names.back();
        if (type.keys.empty() || !(type.keys.back() == res.name)) {
            type.keys.push_back(res.name);
            type.children.push_back(languages.size());
            languages.emplace_back();
        }
        languages.back().keys.push_back(res.language);
        languages.back().children.push_back(r);
    }
    auto dirSize = [](const Dir& d) { return 16 + 8 * d.keys.size(); };
    std::vector<size_t> nameOffsets, languageOffsets;
    size_t at = dirSize(types[0]);
    for (const Dir& d : names)
        nameOffsets.push_back(at), at += dirSize(d);
    for (const Dir& d : languages)
        languageOffsets.push_back(at), at += dirSize(d);
    size_t entries = at;
    at += 16 * resources.size();
    // The names, each once.
    std::map<std::u16string, size_t> strings;
    for (const Resource& res : resources)
        for (const ResourceKey* key : {&res.type, &res.name, &res.language})
            if (key->named && !strings.count(key->name)) {
                strings[key->name] = at;
                at += 2 + 2 * key->name.size();
            }
    std::vector<uint8_t> out(at, 0);
    for (const auto& [name, offset] : strings) {
        Set16(&out, offset, (uint32_t)name.size());
        for (size_t c = 0; c < name.size(); c++)
            Set16(&out, offset + 2 + 2 * c, name[c]);
    }
    auto writeDir = [&](const Dir& d, size_t offset, auto target) {
        size_t named = std::count_if(d.keys.begin(), d.keys.end(),
                                     [](const ResourceKey& k) { return k.named; });
        Set16(&out, offset + 12, (uint32_t)named);
        Set16(&out, offset + 14, (uint32_t)(d.keys.size() - named));
        for (size_t i = 0; i < d.keys.size(); i++) {
            const ResourceKey& key = d.keys[i];
            Set32(&out, offset + 16 + 8 * i,
                  key.named ? 0x80000000u | (uint32_t)strings[key.name] : key.id);
            Set32(&out, offset + 20 + 8 * i, target(d.children[i]));
        }
    };
    writeDir(types[0], 0, [&](size_t c) { return 0x80000000u | (uint32_t)nameOffsets[c]; });
    for (size_t i = 0; i < names.size(); i++)
        writeDir(names[i], nameOffsets[i],
                 [&](size_t c) { return 0x80000000u | (uint32_t)languageOffsets[c]; });
    for (size_t i = 0; i < languages.size(); i++)
        writeDir(languages[i], languageOffsets[i],
                 [&](size_t r) { return (uint32_t)(entries + 16 * r); });
    for (size_t r = 0; r < resources.size(); r++) {
        PadTo(&out, 8);
        Set32(&out, entries + 16 * r, sectionRva + (uint32_t)out.size());
        Set32(&out, entries + 16 * r + 4, (uint32_t)resources[r].data.size());
        Set32(&out, entries + 16 * r + 8, resources[r].codePage);
        out.insert(out.end(), resources[r].data.begin(), resources[r].data.end());
    }
    return out;
}

bool ReplaceResources(const std::vector<uint8_t>& image, const std::vector<Resource>& resources,
                      std::vector<uint8_t>* out, std::string* error) {
    PeLayout pe;
    if (!ParseHeaders(image.data(), image.size(), &pe, error)) return false;
    uint32_t directorySize = 0;
    uint32_t rva = DirectoryRva(image.data(), pe, kResourceDirectory, &directorySize);
    int index = SectionOf(pe, rva);
    if (rva == 0 || index < 0 || pe.sections[index].virtualAddress != rva) {
        *error = "its resources do not fill a section of their own";
        return false;
    }
    for (size_t i = 1; i < resources.size(); i++)
        for (size_t j = 0; j < i; j++)
            if (resources[i].type == resources[j].type && resources[i].name == resources[j].name &&
                resources[i].language == resources[j].language) {
                *error = "two resources " + KeyText(resources[i].type) + "/" +
                         KeyText(resources[i].name);
                return false;
            }
    const Section old = pe.sections[index];
    uint64_t oldRawEnd = (uint64_t)old.rawOffset + old.rawSize;
    if (oldRawEnd > image.size()) {
        *error = "its resource section runs past the end of the file";
        return false;
    }
    // Sections behind it move; only discardable ones may, and they must also lie behind it in
    // the file, so that the bytes behind the section move as one block.
    for (const Section& s : pe.sections) {
        bool later = s.virtualAddress > old.virtualAddress;
        if (later && !(s.characteristics & kDiscardable)) {
            *error = "a section that is used at run time follows its resource section";
            return false;
        }
        if (s.rawSize && later != (s.rawOffset >= oldRawEnd) && s.header != old.header) {
            *error = "its sections are not in the same order in the file and in memory";
            return false;
        }
    }
    std::vector<uint8_t> section = EncodeResourceSection(resources, old.virtualAddress);
    uint64_t newRaw = AlignUp(section.size(), pe.fileAlignment);
    int64_t fileShift = (int64_t)newRaw - old.rawSize;
    int64_t rvaShift = (int64_t)AlignUp(section.size(), pe.sectionAlignment) -
                       (int64_t)AlignUp(old.Span(), pe.sectionAlignment);
    if (image.size() + fileShift > 0x7FFFFFFF) {
        *error = "it would be 2 GiB or more";
        return false;
    }

    out->assign(image.begin(), image.begin() + old.rawOffset);
    out->insert(out->end(), section.begin(), section.end());
    out->resize(old.rawOffset + newRaw, 0);
    out->insert(out->end(), image.begin() + oldRawEnd, image.end());

    uint64_t sizeOfImage = AlignUp(U32(&image[pe.optional + 60]), pe.sectionAlignment);
    for (Section s : pe.sections) {
        if (s.header == old.header) {
            s.virtualSize = (uint32_t)section.size();
            s.rawSize = (uint32_t)newRaw;
        } else if (s.virtualAddress > old.virtualAddress) {
            s.virtualAddress = (uint32_t)(s.virtualAddress + rvaShift);
            if (s.rawSize) s.rawOffset = (uint32_t)(s.rawOffset + fileShift);
        }
        Set32(out, s.header + 8, s.virtualSize);
        Set32(out, s.header + 12, s.virtualAddress);
        Set32(out, s.header + 16, s.rawSize);
        Set32(out, s.header + 20, s.rawOffset);
        sizeOfImage = std::max<uint64_t>(
            sizeOfImage, AlignUp((uint64_t)s.virtualAddress + s.Span(), pe.sectionAlignment));
    }
    for (uint32_t d = 0; d < pe.directoryCount; d++) {
        uint32_t size = 0, at = DirectoryRva(image.data(), pe, (int)d, &size);
        if (d == kResourceDirectory) {
            Set32(out, pe.directories + 8 * d + 4, (uint32_t)section.size());
        } else if (at != 0 && d != kSecurityDirectory) {
            if (at >= old.virtualAddress && at - old.virtualAddress < old.Span()) {
                *error = "data directory " + std::to_string(d) + " lies in its resource section";
                return false;
            }
            if (at > old.virtualAddress) {
                if (d == kDebugDirectory) {
                    *error = "its debug directory lies behind its resources";
                    return false;
                }
                Set32(out, pe.directories + 8 * d, (uint32_t)(at + rvaShift));
            }
        } else if (at != 0) {
            *error = "it is code-signed";
            return false;
        }
    }
    Set32(out, pe.SizeOfImage(), (uint32_t)sizeOfImage);
    if (old.characteristics & kInitializedData)
        Set32(out, pe.SizeOfInitializedData(),
              (uint32_t)(U32(&image[pe.SizeOfInitializedData()]) + fileShift));
    // A symbol table behind the resources moves with them.
    size_t symbols = pe.optional - 12; // PointerToSymbolTable
    if (U32(&image[symbols]) >= oldRawEnd)
        Set32(out, symbols, (uint32_t)(U32(&image[symbols]) + fileShift));
    // Windows checks the checksum of drivers only; it is kept right when the stub had one.
    if (U32(&image[pe.Checksum()])) Set32(out, pe.Checksum(), PeChecksum(*out, pe.Checksum()));
    return true;
}

bool ParseVersion(const std::string& text, uint32_t* ms, uint32_t* ls, std::string* error) {
    uint32_t parts[4] = {};
    size_t count = 0, at = 0;
    bool ok = !text.empty();
    while (ok && at <= text.size()) {
        size_t dot = std::min(text.find('.', at), text.size());
        std::string part = text.substr(at, dot - at);
        ok = count < 4 && !part.empty() && part.size() <= 5 &&
             part.find_first_not_of("0123456789") == std::string::npos;
        if (ok) ok = (parts[count++] = (uint32_t)std::stoul(part)) <= 65535;
        at = dot + 1;
    }
    if (!ok) {
        *error = "'" + text + "' is not a version of up to four numbers of at most 65535";
        return false;
    }
    *ms = parts[0] << 16 | parts[1];
    *ls = parts[2] << 16 | parts[3];
    return true;
}

bool IconResources(const std::vector<uint8_t>& ico, uint16_t firstId, std::vector<uint8_t>* group,
                   std::vector<std::vector<uint8_t>>* images, std::string* error) {
    if (ico.size() < 6 || U16(&ico[0]) != 0 || U16(&ico[2]) != 1) {
        *error = "is not an icon file";
        return false;
    }
    uint32_t count = U16(&ico[4]);
    if (count == 0) {
        *error = "holds no images";
        return false;
    }
    if (ico.size() < 6 + 16ull * count) {
        *error =
            "is not an icon file: its directory of " + std::to_string(count) + " images is cut off";
        return false;
    }
    if (firstId + count - 1 > 0xFFFF) {
        *error = "holds too many images";
        return false;
    }
    group->assign(ico.begin(), ico.begin() + 6);
    images->clear();
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t* entry = &ico[6 + 16 * i];
        uint32_t bytes = U32(entry + 8), offset = U32(entry + 12);
        std::string which = "image " + std::to_string(i + 1);
        if (bytes == 0 || offset < 6 + 16 * count || offset > ico.size() ||
            bytes > ico.size() - offset) {
            *error = "is not an icon file: " + which + " lies outside the file";
            return false;
        }
        uint32_t width = 0, height = 0;
        if (!ImageSize(&ico[offset], bytes, &width, &height)) {
            *error = "is not an icon file: " + which + " is neither a PNG nor a bitmap";
            return false;
        }
        if (width > 256 || height > 256) {
            *error = which + " is " + std::to_string(width) + "x" + std::to_string(height) +
                     " pixels; icons hold at most 256x256";
            return false;
        }
        group->insert(group->end(), entry, entry + 12);
        Put16(group, firstId + i);
        images->emplace_back(ico.begin() + offset, ico.begin() + offset + bytes);
    }
    return true;
}

bool CheckXml(const std::string& text, std::string* error) {
    return XmlParser(text, nullptr).Parse(error);
}

bool EncodeVersionInfo(const std::vector<std::pair<std::string, std::string>>& strings,
                       std::vector<uint8_t>* out, std::string* error) {
    uint32_t fixed[4] = {};
    for (size_t i = 0; i < strings.size(); i++) {
        const std::string& key = strings[i].first;
        bool twice = false;
        for (size_t j = 0; j < i; j++)
            twice = twice || strings[j].first == key;
        if (key.empty() || twice) {
            *error = key.empty() ? "has a KEY=VALUE without a KEY" : key + ": is given twice";
            return false;
        }
    }
    for (const auto& [key, value] : strings) {
        int slot = key == "FileVersion" ? 0 : key == "ProductVersion" ? 2 : -1;
        if (slot >= 0 && !ParseVersion(value, &fixed[slot], &fixed[slot + 1], error)) {
            *error = key + ": " + *error;
            return false;
        }
    }
    out->clear();
    size_t root = BeginNode(out, u"VS_VERSION_INFO", 52, false);
    for (uint32_t value : {0xFEEF04BDu, 0x00010000u, fixed[0], fixed[1], fixed[2], fixed[3], 0x3Fu,
                           0u, 0x40004u, 1u, 0u, 0u, 0u})
        Put32(out, value);
    size_t info = BeginNode(out, u"StringFileInfo", 0, true);
    size_t table = BeginNode(out, u"040904b0", 0, true);
    for (const auto& [key, value] : strings) {
        std::u16string key16, value16;
        if (!ToUtf16(key, &key16) || !ToUtf16(value, &value16)) {
            *error = key + ": is not UTF-8 text";
            return false;
        }
        size_t node = BeginNode(out, key16, (uint32_t)value16.size() + 1, true);
        for (char16_t c : value16)
            Put16(out, c);
        Put16(out, 0);
        EndNode(out, node);
    }
    EndNode(out, table);
    EndNode(out, info);
    size_t var = BeginNode(out, u"VarFileInfo", 0, true);
    size_t translation = BeginNode(out, u"Translation", 4, false);
    Put16(out, 0x0409);
    Put16(out, 0x04B0);
    EndNode(out, translation);
    EndNode(out, var);
    EndNode(out, root);
    if (out->size() > 0xFFFF) {
        *error = "the version information is over 64 KiB, more than the format holds";
        return false;
    }
    return true;
}

bool ApplyIdentity(const std::vector<uint8_t>& stub, const IdentityOptions& options,
                   const std::string& outputName, std::vector<uint8_t>* out, std::string* error) {
    if (!options.executionLevel.empty() && !options.manifestFile.empty()) {
        *error = "--execution-level and --manifest exclude each other";
        return false;
    }
    ResourceSection section;
    if (!ReadResourceSection(stub, &section, error)) {
        *error = "stub: " + *error;
        return false;
    }
    if (!section.hasResources || !section.problems.empty()) {
        *error =
            "stub: its resources cannot be read" +
            (section.problems.empty() ? std::string(": it has none") : ": " + section.problems[0]);
        return false;
    }
    std::vector<Resource>& list = section.resources;
    auto find = [&](uint16_t type, uint16_t name) {
        return std::find_if(list.begin(), list.end(), [&](const Resource& r) {
            return r.type == Id(type) && (name == 0 || r.name == Id(name));
        });
    };
    auto add = [&](uint16_t type, uint16_t name, ResourceKey language, std::vector<uint8_t> data) {
        Resource resource;
        resource.type = Id(type);
        resource.name = Id(name);
        resource.language = language;
        resource.data = std::move(data);
        list.push_back(std::move(resource));
    };

    if (!options.iconFile.empty()) {
        std::vector<uint8_t> ico, group;
        std::vector<std::vector<uint8_t>> images;
        if (!ReadFileBytes(options.iconFile, &ico, error)) return false;
        // The images of the groups that the icon replaces go with them.
        ResourceKey language = Id(1033);
        std::vector<uint16_t> dropped;
        for (uint16_t id : {kAppIconGroup, kSplashIconGroup})
            for (auto g = find(kRtGroupIcon, id); g != list.end(); g = find(kRtGroupIcon, id)) {
                if (id == kAppIconGroup) language = g->language;
                for (size_t at = 6; at + 14 <= g->data.size(); at += 14)
                    dropped.push_back(U16(&g->data[at + 12]));
                list.erase(g);
            }
        for (const Resource& other : list) // images that another group shows stay
            if (other.type == Id(kRtGroupIcon))
                for (size_t at = 6; at + 14 <= other.data.size(); at += 14)
                    dropped.erase(
                        std::remove(dropped.begin(), dropped.end(), U16(&other.data[at + 12])),
                        dropped.end());
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&](const Resource& r) {
                                      return r.type == Id(kRtIcon) && !r.name.named &&
                                             std::count(dropped.begin(), dropped.end(), r.name.id);
                                  }),
                   list.end());
        uint32_t firstId = 1;
        for (const Resource& r : list)
            if (r.type == Id(kRtIcon) && !r.name.named) firstId = std::max(firstId, r.name.id + 1u);
        if (firstId > 0xFFFF || !IconResources(ico, (uint16_t)firstId, &group, &images, error)) {
            *error = options.iconFile + ": " + (firstId > 0xFFFF ? "no icon ids left" : *error);
            return false;
        }
        for (size_t i = 0; i < images.size(); i++)
            add(kRtIcon, (uint16_t)(firstId + i), language, images[i]);
        add(kRtGroupIcon, kAppIconGroup, language, group);
        add(kRtGroupIcon, kSplashIconGroup, language, group);
    }

    if (!options.versionInfo.empty()) {
        auto strings = options.versionInfo;
        bool named = false;
        for (const auto& entry : strings)
            named = named || entry.first == "OriginalFilename";
        if (!named) strings.push_back({"OriginalFilename", outputName});
        std::vector<uint8_t> data;
        if (!EncodeVersionInfo(strings, &data, error)) {
            *error = "--version-info " + *error;
            return false;
        }
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [](const Resource& r) { return r.type == Id(kRtVersion); }),
                   list.end());
        add(kRtVersion, 1, Id(1033), data);
    }

    if (!options.executionLevel.empty() || !options.manifestFile.empty()) {
        auto manifest = find(kRtManifest, 1);
        std::string text;
        if (!options.manifestFile.empty()) {
            std::vector<uint8_t> bytes;
            if (!ReadFileBytes(options.manifestFile, &bytes, error)) return false;
            text.assign(bytes.begin(), bytes.end());
            if (!CheckXml(text, error)) {
                *error = options.manifestFile + ": is not well-formed XML: " + *error;
                return false;
            }
        } else {
            if (std::find(std::begin(kLevels), std::end(kLevels), options.executionLevel) ==
                std::end(kLevels)) {
                *error = "--execution-level: '" + options.executionLevel +
                         "' is none of asInvoker, highestAvailable, requireAdministrator";
                return false;
            }
            if (manifest == list.end()) {
                *error = "stub: it has no manifest to add the execution level to";
                return false;
            }
            std::string stubText(manifest->data.begin(), manifest->data.end());
            if (!AddExecutionLevel(stubText, options.executionLevel, &text, error)) {
                *error = "stub: " + *error;
                return false;
            }
        }
        if (manifest == list.end()) add(kRtManifest, 1, Id(1033), {});
        manifest = find(kRtManifest, 1);
        manifest->data.assign(text.begin(), text.end());
    }

    if (!ReplaceResources(stub, list, out, error)) {
        *error = "stub: " + *error;
        return false;
    }
    return true;
}

bool ReadIdentity(const std::string& path, InstallerIdentity* identity, std::string* error) {
    *identity = InstallerIdentity();
    if (!IsPortableExecutable(path)) return true;
    identity->windowsImage = true;
    ResourceSection section;
    if (!ReadResourceSection(path, &section, error)) return false;
    for (const Resource& r : section.resources) {
        if (r.type == Id(kRtGroupIcon) && !r.name.named) {
            IconGroupInfo group;
            group.id = r.name.id;
            for (size_t at = 6; at + 14 <= r.data.size(); at += 14)
                group.images.push_back({r.data[at] ? r.data[at] : 256u,
                                        r.data[at + 1] ? r.data[at + 1] : 256u,
                                        U16(&r.data[at + 6]), U32(&r.data[at + 8])});
            identity->icons.push_back(group);
        } else if (r.type == Id(kRtVersion) && identity->versionStrings.empty() &&
                   identity->fileVersion.empty()) {
            ReadVersionInfo(r.data, identity);
        } else if (r.type == Id(kRtManifest) && !identity->hasManifest) {
            identity->hasManifest = true;
            identity->executionLevel = ManifestLevel(std::string(r.data.begin(), r.data.end()));
        }
    }
    return true;
}

void PrintIdentity(const std::string& path, std::ostream& out) {
    InstallerIdentity identity;
    std::string error;
    if (!ReadIdentity(path, &identity, &error)) {
        out << "Resources: cannot be read: " << error << "\n";
        return;
    }
    if (!identity.windowsImage) return;
    for (const IconGroupInfo& group : identity.icons) {
        out << "Icon " << group.id << ":";
        for (size_t i = 0; i < group.images.size(); i++) {
            const IconImageInfo& image = group.images[i];
            out << (i ? ", " : " ") << image.width << "x" << image.height;
            if (image.bitCount) out << " " << image.bitCount << "-bit";
        }
        out << "\n";
    }
    if (identity.fileVersion.empty() && identity.versionStrings.empty()) {
        out << "Version information: none\n";
    } else {
        out << "Version information:";
        if (!identity.fileVersion.empty())
            out << " file " << identity.fileVersion << ", product " << identity.productVersion;
        out << "\n";
        for (const auto& [key, value] : identity.versionStrings)
            out << "  " << key << ": " << value << "\n";
    }
    out << "Execution level: "
        << (!identity.hasManifest             ? "none (no manifest)"
            : identity.executionLevel.empty() ? "none (Windows decides)"
                                              : identity.executionLevel)
        << "\n";
}

std::vector<std::string> ResourceProblems(const std::string& path) {
    if (!IsPortableExecutable(path)) return {};
    ResourceSection section;
    std::string error;
    if (!ReadResourceSection(path, &section, &error)) return {"resources: " + error};
    std::vector<std::string> problems;
    for (const std::string& problem : section.problems)
        problems.push_back(problem);
    return problems;
}

} // namespace sfxpack
