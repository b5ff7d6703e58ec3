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

void WriteIdentityJson(std::ostream& out, const IdentityListing* identity,
                       const std::string& indent) {
    if (!identity) {
        out << "null";
        return;
    }
    const std::string inner = indent + "  ";
    out << "{\n" << inner << "\"icons\": [";
    for (size_t i = 0; i < identity->icons.size(); i++) {
        const IdentityListing::Icon& icon = identity->icons[i];
        out << (i ? ", " : "") << "{\"width\": " << icon.width << ", \"height\": " << icon.height
            << ", \"bitCount\": " << icon.bitCount << ", \"bytes\": " << icon.bytes << "}";
    }
    out << "],\n" << inner << "\"version\": ";
    if (!identity->hasVersion) {
        out << "null";
    } else {
        auto fixed = [](const std::string& text) {
            return text.empty() ? std::string("null") : JsonText(text);
        };
        out << "{\"fileVersion\": " << fixed(identity->fileVersion)
            << ", \"productVersion\": " << fixed(identity->productVersion) << ", \"strings\": {";
        for (size_t i = 0; i < identity->strings.size(); i++)
            out << (i ? ", " : "") << JsonText(identity->strings[i].first) << ": "
                << JsonText(identity->strings[i].second);
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
