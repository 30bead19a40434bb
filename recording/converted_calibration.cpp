#include "recording/converted_calibration.h"

#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace {

constexpr size_t longestFile = 64 * 1024; // the converted form is about 600 bytes

std::optional<double> number(const std::string &text) {
    size_t start = text.find_first_not_of(" \t\r\n");
    size_t end = text.find_last_not_of(" \t\r\n");
    if (start == std::string::npos)
        return std::nullopt;
    double value = 0;
    const char *last = text.data() + end + 1;
    const std::from_chars_result read = std::from_chars(text.data() + start, last, value);
    if (read.ec != std::errc() || read.ptr != last || !std::isfinite(value))
        return std::nullopt;
    return value;
}

// The 16 numbers between "Tcl_0: [" and "]", separated by commas.
bool readMatrix(const std::string &text, std::array<double, 16> &tcl) {
    const std::string opening = "Tcl_0: [";
    if (text.rfind(opening, 0) != 0)
        return false;
    const size_t close = text.find(']');
    if (close == std::string::npos)
        return false;
    std::istringstream values(text.substr(opening.size(), close - opening.size()));
    size_t count = 0;
    for (std::string value; std::getline(values, value, ',');) {
        const std::optional<double> read = number(value);
        if (!read || count == tcl.size())
            return false;
        tcl[count++] = *read;
    }
    return count == tcl.size();
}

// "   key: value" lines, after the matrix.
std::map<std::string, std::string> keyedValues(const std::string &text) {
    std::map<std::string, std::string> values;
    std::istringstream lines(text.substr(text.find(']') + 1));
    for (std::string line; std::getline(lines, line);) {
        const size_t colon = line.find(':');
        const size_t key = line.find_first_not_of(' ');
        if (colon != std::string::npos && key < colon)
            values[line.substr(key, colon - key)] = line.substr(colon + 1);
    }
    return values;
}

} // namespace

std::optional<ConvertedCalibration> parseConvertedCalibration(const std::string &text) {
    ConvertedCalibration out;
    if (!readMatrix(text, out.tcl))
        return std::nullopt;
    const std::map<std::string, std::string> values = keyedValues(text);
    std::map<std::string, double *> wanted = {
        {"p1", &out.p1},   {"p2", &out.p2}, {"A11", &out.a11}, {"A12", &out.a12},
        {"A22", &out.a22}, {"u0", &out.u0}, {"v0", &out.v0}};
    for (size_t i = 0; i < out.k.size(); ++i)
        wanted["k" + std::to_string(i + 2)] = &out.k[i];
    double width = 0, height = 0;
    wanted["image_width"] = &width;
    wanted["image_height"] = &height;
    for (const auto &[key, target] : wanted) {
        const auto found = values.find(key);
        const std::optional<double> value =
            found == values.end() ? std::nullopt : number(found->second);
        if (!value)
            return std::nullopt;
        *target = *value;
    }
    if (width < 0 || height < 0 || width > 1e6 || height > 1e6 || width != std::floor(width) ||
        height != std::floor(height))
        return std::nullopt;
    out.width = static_cast<int>(width);
    out.height = static_cast<int>(height);
    return out;
}

std::optional<ConvertedCalibration> readConvertedCalibration(const std::string &folder) {
    const std::filesystem::path path = std::filesystem::path(folder) / "image" / "cam_in_ex.txt";
    std::ifstream in(path, std::ios::binary);
    std::string text(longestFile, '\0');
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    return parseConvertedCalibration(text);
}
