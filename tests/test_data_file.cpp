// The data file parser: values, comments, text mode, long lines and their
// warning, CR LF and the size limit; the writer and the parser round-trip.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"
#include "data_file.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Parsed {
    int result;
    Bytes bytes;   // the image up to the count
    std::string out;  // what the parse printed
    std::string warnings;
};


// Writes content byte for byte to a temp file, opens it as the writer does
// and parses it into an image with a guard area behind it.
Parsed parse_text(const std::string& content, std::vector<std::uint8_t>* whole_image = nullptr) {
    // A directory of this call's own: ctest runs each case as its own
    // process, several at a time.
    vrntest::TempDir dir;
    const std::string path = dir.path("image.dat");
    std::FILE* w = std::fopen(path.c_str(), "wb");
    EXPECT_NE(w, nullptr);
    std::fwrite(content.data(), 1, content.size(), w);
    std::fclose(w);

    std::vector<std::uint8_t> image(VRN_IMAGE_BYTES + 64, 0xAA);
    std::FILE* f = std::fopen(path.c_str(), "rt");
    EXPECT_NE(f, nullptr);
    std::FILE* warnings = std::tmpfile();
    EXPECT_NE(warnings, nullptr);
    ::testing::internal::CaptureStdout();
    int r = vrn_parse_data_file(f, image.data(), warnings);
    std::string out = ::testing::internal::GetCapturedStdout();
    std::fclose(f);
    Parsed p{r, {}, out, vrntest::read_stream_bytes(warnings)};
    std::fclose(warnings);
    if (r > 0) p.bytes.assign(image.begin(), image.begin() + r);
    if (whole_image) *whole_image = image;
    return p;
}

Bytes parse_bytes(const std::string& content) {
    Parsed p = parse_text(content);
    EXPECT_GE(p.result, 0);
    EXPECT_EQ(p.out, "");
    return p.bytes;
}

std::string crlf(const std::string& lf) {
    std::string s;
    for (char c : lf) {
        if (c == '\n') s += '\r';
        s += c;
    }
    return s;
}

}  // namespace

TEST(DataFileValues, EachLineOfTheTableGivesItsByte) {
    struct Case {
        const char* line;
        int byte;  // -1: the line gives nothing
    };
    const Case cases[] = {
        {"0x10", 0x10}, {"20", 0x14},   {"010", 0x0A},  {"0X1f", 0x1F},        {"1f", 0x01},
        {"abc", 0x00},  {"-1", 0xFF},   {"-2", 0xFE},   {"256", 0x00},         {"300", 0x2C},
        {"0x1FF", 0xFF}, {"99999999999", 0xFF}, {"+0x10", 0x00}, {"0x55 ; note", 0x55}, {"   ", 0x00},
        {"", 0x00},     {"  ;", -1},
    };
    for (const Case& c : cases) {
        Bytes b = parse_bytes(std::string(c.line) + "\n");
        if (c.byte < 0) {
            EXPECT_TRUE(b.empty()) << c.line;
        } else {
            ASSERT_EQ(b.size(), 1u) << c.line;
            EXPECT_EQ(b[0], c.byte) << "line \"" << c.line << "\"";
        }
    }
    // A '#' line gives nothing and switches text mode on: the next line
    // gives its first character.
    EXPECT_EQ(parse_bytes("#\n65\n"), (Bytes{0x36}));
}

TEST(DataFileValues, ConversionFollowsStrtoulOnThirtyTwoBits) {
    EXPECT_EQ(vrn_data_line_value("4294967295"), 0xFFFFFFFFu);
    EXPECT_EQ(vrn_data_line_value("4294967296"), 0xFFFFFFFFu);
    EXPECT_EQ(vrn_data_line_value("0xFFFFFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(vrn_data_line_value("0x100000000"), 0xFFFFFFFFu);
    EXPECT_EQ(vrn_data_line_value("-4294967295"), 1u);
    EXPECT_EQ(vrn_data_line_value("-4294967296"), 0xFFFFFFFFu);  // saturates before negating
    EXPECT_EQ(vrn_data_line_value("-0"), 0u);
    EXPECT_EQ(vrn_data_line_value(" \t-300"), 0xFFFFFED4u);
    EXPECT_EQ(vrn_data_line_value("- 5"), 0u);
    EXPECT_EQ(vrn_data_line_value("0x"), 0u);
    EXPECT_EQ(vrn_data_line_value("0xg1"), 0u);
    EXPECT_EQ(vrn_data_line_value("-0x10"), 0u);
    EXPECT_EQ(vrn_data_line_value("0x7fZ9"), 0x7Fu);
    EXPECT_EQ(vrn_data_line_value("12abc"), 12u);
    EXPECT_EQ(vrn_data_line_value("\xB5" "12"), 0u);  // 0x80 and above is not white space
}

TEST(DataFileTextMode, GivesTheFirstCharacterAsRead) {
    EXPECT_EQ(parse_bytes("#\nAB\n C\n65\n\n   \n  ;x\n\t9\n"), (Bytes{0x41, 0x20, 0x36, 0x00, 0x20, 0x09}));
    EXPECT_EQ(parse_bytes("#\nAB\n C\n#\n65\n"), (Bytes{0x41, 0x20, 0x41}));
    // '#' toggles after white space too, and the rest of its line is ignored.
    EXPECT_EQ(parse_bytes("  # start text\nx\n\t#12\n12\n"), (Bytes{'x', 12}));
    // A file may end in text mode.
    EXPECT_EQ(parse_bytes("1\n#\nz"), (Bytes{1, 'z'}));
}

TEST(DataFileLines, FinalLineAndEmptyFiles) {
    EXPECT_EQ(parse_bytes("1\n2"), (Bytes{1, 2}));
    EXPECT_EQ(parse_bytes("1\n2\n"), (Bytes{1, 2}));
    EXPECT_EQ(parse_text("").result, 0);
    EXPECT_EQ(parse_text("; only\n#\n  ; comments\n#\n").result, 0);
}

TEST(DataFileLines, LongLinesAreParsedInPiecesOf127) {
    // 200 characters: the first 127 give 7, the other 73 (with the line
    // feed) are a line of their own giving 42.
    std::string line = std::string(126, ' ') + "7" + "42" + std::string(71, 'x');
    ASSERT_EQ(line.size(), 200u);
    EXPECT_EQ(parse_bytes(line + "\n"), (Bytes{7, 42}));

    // A long comment: its second piece is parsed as a value.
    std::string comment(127, 'c');
    comment[0] = ';';
    EXPECT_EQ(parse_bytes(comment + "0x21 rest\n"), (Bytes{0x21}));
    EXPECT_EQ(parse_bytes(comment + "  ; still\n"), Bytes{});
    EXPECT_EQ(parse_bytes(comment + "#\nA\n"), (Bytes{'A'}));

    // Exactly 127 characters and a line feed: the line feed alone is the
    // second piece, an empty line.
    EXPECT_EQ(parse_bytes(std::string(125, ' ') + "5\n"), (Bytes{5}));
    EXPECT_EQ(parse_bytes(std::string(126, ' ') + "5\n"), (Bytes{5, 0}));
    EXPECT_EQ(parse_bytes(std::string(127, ' ') + "\n1\n"), (Bytes{0, 0, 1}));
}

TEST(DataFileLines, CrLfParsesLikeLf) {
    const std::string lf = "; comment\n0x10\n20\n\n#\nA\n \n\n#\n-1\n";
    const Bytes expect = {0x10, 0x14, 0x00, 0x41, 0x20, 0x00, 0xFF};
    EXPECT_EQ(parse_bytes(lf), expect);
    EXPECT_EQ(parse_bytes(crlf(lf)), expect);

    // Around the piece limit a CR LF must still count as one line feed.
    for (int n = 120; n <= 132; ++n) {
        for (bool text : {false, true}) {
            std::string l = (text ? "#\n" : "") + std::string(n - 1, ' ') + "9\n5\n\n";
            EXPECT_EQ(parse_bytes(crlf(l)), parse_bytes(l)) << "line of " << n << (text ? " in text mode" : "");
        }
    }
    // A carriage return not followed by a line feed stays in the line.
    EXPECT_EQ(parse_bytes("#\n\rX\n"), (Bytes{0x0D}));
    EXPECT_EQ(parse_bytes("\r5\n"), (Bytes{5}));
}

TEST(DataFileLimit, HoldsExactly65536Bytes) {
    std::string full;
    for (int i = 0; i < VRN_IMAGE_BYTES; ++i) full += std::to_string(i & 0xFF) + "\n";
    std::vector<std::uint8_t> image;
    Parsed ok = parse_text(full, &image);
    EXPECT_EQ(ok.result, VRN_IMAGE_BYTES);
    EXPECT_EQ(ok.out, "");
    EXPECT_EQ(image[0], 0);
    EXPECT_EQ(image[255], 255);
    EXPECT_EQ(image[65535], 255);
    EXPECT_EQ(image[VRN_IMAGE_BYTES], 0xAA);

    // Trailing comments and mode switches do not count.
    EXPECT_EQ(parse_text(full + "; end\n#\n#\n").result, VRN_IMAGE_BYTES);

    for (const char* extra : {"0x55\n", "#\nU\n", "\n"}) {
        Parsed big = parse_text(full + extra, &image);
        EXPECT_EQ(big.result, VRN_PARSE_TOO_BIG) << extra;
        EXPECT_EQ(big.out, "### ERROR: To Big data file - 65537\n");
        EXPECT_EQ(image[VRN_IMAGE_BYTES], 0xAA) << "nothing stored for the refused byte";
        EXPECT_EQ(image[65535], 255);
    }
}

TEST(DataFileExamples, ExamplesHoldWholeRecords) {
    // examples/netcfg.dat is a NetCfg record, examples/icr.dat an ICR record;
    // what they print is checked where vrnprog writes them and vrnstat reads.
    for (auto [name, size] : {std::pair<const char*, int>{"netcfg.dat", 152}, {"icr.dat", 164}}) {
        std::FILE* f = std::fopen((std::string(VRN_EXAMPLES_DIR) + "/" + name).c_str(), "rt");
        ASSERT_NE(f, nullptr) << name;
        std::vector<std::uint8_t> image(VRN_IMAGE_BYTES);
        EXPECT_EQ(vrn_parse_data_file(f, image.data()), size) << name;
        std::fclose(f);
    }
}

TEST(DataFileLines, ALineReadInPiecesIsNamedOnceByItsNumber) {
    auto warning = [](int line) {
        return "line " + std::to_string(line) + " is longer than 127 characters; its remainder is read as a separate value\n";
    };
    struct Case {
        std::string name, content, warnings;
    };
    const std::string c125(125, 'c'), c126(126, 'c'), c127(127, 'c'), x399(399, 'x');
    const std::vector<Case> cases = {
        {"126 characters and a line feed", "1\n;" + c125 + "\n2\n", ""},
        {"127 characters and a line feed", "1\n;" + c126 + "\n2\n", warning(2)},
        {"127 characters and CR LF", "1\r\n;" + c126 + "\r\n2\r\n", warning(2)},
        {"127 characters at the end of the file", "1\n2\n;" + c126, ""},
        {"128 characters at the end of the file", "1\n2\n;" + c127, warning(3)},
        {"a line of 400 characters: one warning", ";" + x399 + "\n", warning(1)},
        {"two long lines", ";" + c127 + "\n\n#\nA\n#\n;" + c127 + "\n", warning(1) + warning(6)},
        {"long lines in text mode", "#\n" + c127 + "\n#\n", warning(2)},
    };
    for (const Case& c : cases) {
        Parsed p = parse_text(c.content);
        EXPECT_EQ(p.warnings, c.warnings) << c.name;
        EXPECT_EQ(p.out, "") << c.name << ": standard output stays as it was";
    }
    // The pieces still give their bytes: the warning changes nothing else.
    EXPECT_EQ(parse_text("1\n;" + c126 + "\n2\n").bytes, (Bytes{1, 0, 2}));
}

TEST(DataFileWriter, ValuesAndNotesLineByLine) {
    const Bytes image = {0x4E, 0x00, 0xFF};
    EXPECT_EQ(vrn_data_file_text(image.data(), 3, {{0, "head\nSIG x"}, {1, ""}, {3, "end"}}),
              "; head\n; SIG x\n0x4E\n;\n0x00\n0xFF\n; end\n");
    EXPECT_EQ(vrn_data_file_text(image.data(), 0, {{0, "empty"}}), "; empty\n");
    // Anything but printable ASCII is shown escaped.
    EXPECT_EQ(vrn_data_file_text(image.data(), 0, {{0, std::string("a\x1A\\b\r\xFF", 6)}}),
              "; a\\x1A\\b\\x0D\\xFF\n");
    // A long note wraps at 124 characters after "; ", and never inside an escape.
    EXPECT_EQ(vrn_data_file_text(image.data(), 0, {{0, std::string(130, 'c')}}),
              "; " + std::string(124, 'c') + "\n; " + std::string(6, 'c') + "\n");
    EXPECT_EQ(vrn_data_file_text(image.data(), 0, {{0, std::string(122, 'c') + "\x01"}}),
              "; " + std::string(122, 'c') + "\n; \\x01\n");
}

// Any image written with any notes parses back as the same image, without
// a warning: the writer keeps every line short enough to be read whole.
TEST(DataFileWriter, RoundTripsEveryImage) {
    std::mt19937 rng(20240515u);
    auto random_text = [&](std::size_t max_len) {
        std::string t(std::uniform_int_distribution<std::size_t>(0, max_len)(rng), ' ');
        for (char& c : t) c = static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng));
        return t;
    };
    std::vector<int> lengths = {0, 1, 2, 126, 127, 128, 152, 164, 65535, VRN_IMAGE_BYTES};
    for (int i = 0; i < 40; ++i) lengths.push_back(std::uniform_int_distribution<int>(0, VRN_IMAGE_BYTES)(rng));
    for (int length : lengths) {
        Bytes image(static_cast<std::size_t>(length));
        for (auto& b : image) b = static_cast<std::uint8_t>(rng());
        std::vector<VrnDataNote> notes;
        for (int at = 0; at <= length; at += std::uniform_int_distribution<int>(1, 2 + length / 3)(rng))
            notes.push_back({at, random_text(300)});
        notes.push_back({length, random_text(40)});
        std::string text = vrn_data_file_text(image.data(), length, notes);
        Parsed p = parse_text(text);
        ASSERT_EQ(p.result, length) << "length " << length;
        EXPECT_TRUE(p.bytes == image) << "length " << length;
        EXPECT_EQ(p.warnings, "") << "length " << length;
        EXPECT_EQ(p.out, "");
    }
}
