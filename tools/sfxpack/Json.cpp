#include "Json.h"

namespace sfxpack {

namespace {

const char kHexDigits[] = "0123456789abcdef";

void AppendUnit(std::string* out, uint32_t unit) {
    if (unit == '"' || unit == '\\') {
        *out += '\\';
        *out += (char)unit;
    } else if (unit < 0x20 || unit >= 0x7F) {
        *out += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4)
            *out += kHexDigits[(unit >> shift) & 0xF];
    } else {
        *out += (char)unit;
    }
}

} // namespace

std::string JsonText(const std::string& bytes) {
    std::string out = "\"";
    for (unsigned char c : bytes)
        AppendUnit(&out, c);
    return out + "\"";
}

std::string JsonText(const std::u16string& units) {
    std::string out = "\"";
    for (char16_t unit : units)
        AppendUnit(&out, unit);
    return out + "\"";
}

void WriteIdentityJson(std::ostream& out, const InstallerIdentity* identity,
                       const std::string& indent) {
    if (!identity || !identity->windowsImage) {
        out << "null";
        return;
    }
    const IconGroupInfo* group = identity->icons.empty() ? nullptr : &identity->icons[0];
    for (const IconGroupInfo& candidate : identity->icons)
        if (candidate.id == 121) group = &candidate;
    const std::string inner = indent + "  ";
    out << "{\n" << inner << "\"icons\": [";
    for (size_t i = 0; group && i < group->images.size(); i++) {
        const IconImageInfo& icon = group->images[i];
        out << (i ? ", " : "") << "{\"width\": " << icon.width << ", \"height\": " << icon.height
            << ", \"bitCount\": " << icon.bitCount << ", \"bytes\": " << icon.bytes << "}";
    }
    out << "],\n" << inner << "\"version\": ";
    if (identity->fileVersion.empty() && identity->versionStrings.empty()) {
        out << "null";
    } else {
        auto fixed = [](const std::string& text) {
            return text.empty() ? std::string("null") : JsonText(text);
        };
        out << "{\"fileVersion\": " << fixed(identity->fileVersion)
            << ", \"productVersion\": " << fixed(identity->productVersion) << ", \"strings\": {";
        for (size_t i = 0; i < identity->versionStrings.size(); i++) {
            // The reader gives the stored UTF-16 as UTF-8; shown as its characters.
            std::u16string value;
            ToUtf16(identity->versionStrings[i].second, &value);
            out << (i ? ", " : "") << JsonText(identity->versionStrings[i].first) << ": "
                << JsonText(value);
        }
        out << "}}";
    }
    out << ",\n"
        << inner << "\"executionLevel\": "
        << (identity->executionLevel.empty() ? std::string("null")
                                             : JsonText(identity->executionLevel))
        << "\n"
        << indent << "}";
}

} // namespace sfxpack
