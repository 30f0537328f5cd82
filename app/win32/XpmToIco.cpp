// xpm-to-ico OUT.ico IMAGE.xpm...: the program's icon for its Windows
// resources, made from the same XPM images the Qt window uses, so they stay
// the one source. Each image becomes a 16-colour entry (its own palette,
// "None" as the transparent mask). Plain C++: it runs on the build host.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> palette;   // 0xRRGGBB, at most 16
    std::vector<int> pixels;         // palette index, or -1: transparent
};

// The quoted strings of the C source, in order.
std::vector<std::string> QuotedStrings(const std::string& source) {
    std::vector<std::string> strings;
    for (size_t i = 0; i < source.size(); ++i) {
        if (source[i] == '/' && i + 1 < source.size() && source[i + 1] == '*') {
            const size_t end = source.find("*/", i + 2);
            if (end == std::string::npos) break;
            i = end + 1;
        } else if (source[i] == '"') {
            const size_t end = source.find('"', i + 1);
            if (end == std::string::npos) break;
            strings.push_back(source.substr(i + 1, end - i - 1));
            i = end;
        }
    }
    return strings;
}

bool ParseXpm(const std::string& path, Image* image, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path;
        return false;
    }
    const std::vector<std::string> strings =
        QuotedStrings(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    if (strings.empty()) {
        *error = path + ": no XPM data";
        return false;
    }
    int colours = 0, perPixel = 0;
    std::istringstream header(strings[0]);
    if (!(header >> image->width >> image->height >> colours >> perPixel) || image->width <= 0 || image->width > 256 ||
        image->height <= 0 || image->height > 256 || perPixel <= 0 ||
        strings.size() < 1u + static_cast<size_t>(colours) + static_cast<size_t>(image->height)) {
        *error = path + ": bad XPM header";
        return false;
    }
    std::map<std::string, int> indexOf;
    for (int c = 0; c < colours; ++c) {
        const std::string& line = strings[1 + static_cast<size_t>(c)];
        const std::string key = line.substr(0, static_cast<size_t>(perPixel));
        std::istringstream rest(line.substr(static_cast<size_t>(perPixel)));
        std::string kind, value;
        rest >> kind >> value;
        if (kind != "c") {
            *error = path + ": only colour ('c') entries are read";
            return false;
        }
        if (value == "None" || value == "none") {
            indexOf[key] = -1;
        } else if (value.size() == 7 && value[0] == '#') {
            if (image->palette.size() == 16) {
                *error = path + ": more than 16 colours";
                return false;
            }
            indexOf[key] = static_cast<int>(image->palette.size());
            image->palette.push_back(static_cast<uint32_t>(std::stoul(value.substr(1), nullptr, 16)));
        } else {
            *error = path + ": colour " + value + " is not #RRGGBB or None";
            return false;
        }
    }
    for (int y = 0; y < image->height; ++y) {
        const std::string& row = strings[1 + static_cast<size_t>(colours) + static_cast<size_t>(y)];
        if (row.size() != static_cast<size_t>(image->width * perPixel)) {
            *error = path + ": row " + std::to_string(y) + " has the wrong length";
            return false;
        }
        for (int x = 0; x < image->width; ++x) {
            const auto it = indexOf.find(row.substr(static_cast<size_t>(x * perPixel), static_cast<size_t>(perPixel)));
            if (it == indexOf.end()) {
                *error = path + ": unknown colour in row " + std::to_string(y);
                return false;
            }
            image->pixels.push_back(it->second);
        }
    }
    return true;
}

void PutU16(std::vector<uint8_t>* out, uint32_t value) {
    out->push_back(static_cast<uint8_t>(value));
    out->push_back(static_cast<uint8_t>(value >> 8));
}

void PutU32(std::vector<uint8_t>* out, uint32_t value) {
    PutU16(out, value & 0xFFFF);
    PutU16(out, value >> 16);
}

// One icon image: BITMAPINFOHEADER (double height: colour bits, then the
// mask), 16 palette entries, 4-bit colour rows and 1-bit mask rows, both
// bottom-up and padded to 32 bits.
std::vector<uint8_t> IconImage(const Image& image) {
    const uint32_t colourRow = ((static_cast<uint32_t>(image.width) * 4 + 31) / 32) * 4;
    const uint32_t maskRow = ((static_cast<uint32_t>(image.width) + 31) / 32) * 4;
    const uint32_t height = static_cast<uint32_t>(image.height);
    std::vector<uint8_t> out;
    PutU32(&out, 40);
    PutU32(&out, static_cast<uint32_t>(image.width));
    PutU32(&out, height * 2);
    PutU16(&out, 1);   // planes
    PutU16(&out, 4);   // bits per pixel
    PutU32(&out, 0);   // no compression
    PutU32(&out, (colourRow + maskRow) * height);
    for (int i = 0; i < 4; ++i) PutU32(&out, 0);  // resolution, colours used and important: defaults
    for (size_t c = 0; c < 16; ++c) {
        const uint32_t rgb = c < image.palette.size() ? image.palette[c] : 0;
        out.push_back(static_cast<uint8_t>(rgb));        // blue
        out.push_back(static_cast<uint8_t>(rgb >> 8));   // green
        out.push_back(static_cast<uint8_t>(rgb >> 16));  // red
        out.push_back(0);
    }
    auto pixel = [&image](int x, int y) { return image.pixels[static_cast<size_t>(y * image.width + x)]; };
    for (int y = image.height - 1; y >= 0; --y) {
        std::vector<uint8_t> row(colourRow, 0);
        for (int x = 0; x < image.width; ++x) {
            const int index = pixel(x, y) < 0 ? 0 : pixel(x, y);
            row[static_cast<size_t>(x / 2)] |= static_cast<uint8_t>(x % 2 == 0 ? index << 4 : index);
        }
        out.insert(out.end(), row.begin(), row.end());
    }
    for (int y = image.height - 1; y >= 0; --y) {
        std::vector<uint8_t> row(maskRow, 0);
        for (int x = 0; x < image.width; ++x)
            if (pixel(x, y) < 0) row[static_cast<size_t>(x / 8)] |= static_cast<uint8_t>(0x80 >> (x % 8));
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: xpm-to-ico OUT.ico IMAGE.xpm...\n");
        return 2;
    }
    std::vector<std::vector<uint8_t>> images;
    std::vector<Image> parsed;
    for (int i = 2; i < argc; ++i) {
        Image image;
        std::string error;
        if (!ParseXpm(argv[i], &image, &error)) {
            std::fprintf(stderr, "xpm-to-ico: %s\n", error.c_str());
            return 1;
        }
        images.push_back(IconImage(image));
        parsed.push_back(image);
    }
    std::vector<uint8_t> out;
    PutU16(&out, 0);  // reserved
    PutU16(&out, 1);  // an icon
    PutU16(&out, static_cast<uint32_t>(images.size()));
    uint32_t offset = 6 + 16 * static_cast<uint32_t>(images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        out.push_back(static_cast<uint8_t>(parsed[i].width == 256 ? 0 : parsed[i].width));
        out.push_back(static_cast<uint8_t>(parsed[i].height == 256 ? 0 : parsed[i].height));
        out.push_back(16);  // colours
        out.push_back(0);
        PutU16(&out, 1);  // planes
        PutU16(&out, 4);  // bits per pixel
        PutU32(&out, static_cast<uint32_t>(images[i].size()));
        PutU32(&out, offset);
        offset += static_cast<uint32_t>(images[i].size());
    }
    for (const auto& image : images) out.insert(out.end(), image.begin(), image.end());
    std::ofstream file(argv[1], std::ios::binary);
    file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
    if (!file.flush()) {
        std::fprintf(stderr, "xpm-to-ico: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
