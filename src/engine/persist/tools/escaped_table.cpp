// Writes the table of characters the notation writer escapes, from the
// Unicode character database: every code point that is unassigned, a control,
// a format character, a surrogate, private use, a combining mark (Mn, Mc, Me),
// a separator other than the blank (Zs, Zl, Zp), or default-ignorable.
//
// escaped_table <UnicodeData.txt> <DerivedCoreProperties.txt> <out.h>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t LIMIT = 0x110000;

std::vector<std::string> split(const std::string& line, char sep) {
    std::vector<std::string> out;
    std::string cur;
    std::istringstream in(line);
    while (std::getline(in, cur, sep)) out.push_back(cur);
    return out;
}

std::string trim(const std::string& s) {
    const auto a = s.find_first_not_of(" \t");
    const auto b = s.find_last_not_of(" \t");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

bool escaped_category(const std::string& gc, std::uint32_t cp) {
    if (gc == "Zs") return cp != 0x20;
    return gc == "Cc" || gc == "Cf" || gc == "Cs" || gc == "Co" || gc == "Mn" || gc == "Mc" || gc == "Me" ||
           gc == "Zl" || gc == "Zp";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: escaped_table UnicodeData.txt DerivedCoreProperties.txt out.h\n";
        return 2;
    }
    // Unassigned until the data says otherwise.
    std::vector<bool> esc(LIMIT, true);

    std::ifstream data(argv[1]);
    if (!data) {
        std::cerr << "escaped_table: cannot read " << argv[1] << "\n";
        return 1;
    }
    std::string line;
    std::uint32_t first = 0;
    std::size_t rows = 0;
    while (std::getline(data, line)) {
        const auto f = split(line, ';');
        if (f.size() < 3) continue;
        const auto cp = static_cast<std::uint32_t>(std::stoul(f[0], nullptr, 16));
        const std::string& name = f[1];
        const bool e = escaped_category(f[2], cp);
        ++rows;
        if (name.find(", First>") != std::string::npos) {
            first = cp;
            continue;
        }
        const std::uint32_t lo = name.find(", Last>") != std::string::npos ? first : cp;
        for (std::uint32_t c = lo; c <= cp && c < LIMIT; ++c) esc[c] = e;
    }
    if (rows < 10000) {
        std::cerr << "escaped_table: " << argv[1] << " holds too few characters\n";
        return 1;
    }

    std::ifstream props(argv[2]);
    if (!props) {
        std::cerr << "escaped_table: cannot read " << argv[2] << "\n";
        return 1;
    }
    std::size_t ignorable = 0;
    while (std::getline(props, line)) {
        const auto hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        const auto f = split(line, ';');
        if (f.size() < 2 || trim(f[1]) != "Default_Ignorable_Code_Point") continue;
        const std::string range = trim(f[0]);
        const auto dots = range.find("..");
        const auto lo = static_cast<std::uint32_t>(std::stoul(range.substr(0, dots), nullptr, 16));
        const auto hi = dots == std::string::npos ? lo
                                                  : static_cast<std::uint32_t>(std::stoul(range.substr(dots + 2), nullptr, 16));
        for (std::uint32_t c = lo; c <= hi && c < LIMIT; ++c) esc[c] = true;
        ++ignorable;
    }
    if (ignorable == 0) {
        std::cerr << "escaped_table: no Default_Ignorable_Code_Point in " << argv[2] << "\n";
        return 1;
    }

    std::ofstream out(argv[3]);
    out << "// Generated from the Unicode character database by escaped_table; do not edit.\n"
           "#pragma once\n\n"
           "namespace engine::notation::unicode {\n\n"
           "struct Range {\n    char32_t lo, hi;\n};\n\n"
           "// Ascending, disjoint ranges of the code points the writer escapes.\n"
           "inline constexpr Range ESCAPED[] = {\n";
    char buf[64];
    for (std::uint32_t c = 0; c < LIMIT;) {
        if (!esc[c]) {
            ++c;
            continue;
        }
        std::uint32_t d = c;
        while (d + 1 < LIMIT && esc[d + 1]) ++d;
        std::snprintf(buf, sizeof buf, "    {0x%X, 0x%X},\n", c, d);
        out << buf;
        c = d + 1;
    }
    out << "};\n\n}  // namespace engine::notation::unicode\n";
    return out ? 0 : 1;
}
