#include <tolvane/config_error.h>
#include <tolvane/ini_file.h>

#include <gtest/gtest.h>
#include <testing/support/test_support.h>

#include <windows.h>

#include <string>
#include <vector>

namespace {

using namespace tolvane;
using test_support::bytes;

struct expected_value {
    std::wstring_view section, key, value;
};

struct parse_case {
    const char* what;
    std::wstring_view text;
    std::vector<expected_value> present;
    std::vector<expected_value> absent; // value ignored; an empty key means the section is absent
};

TEST(IniParse, LineSyntax)
{
    const parse_case cases[] = {
        {"key lines, comments, blank lines", L"[Setup]\r\nA=1\r\n; B=2\r\n\r\n  \tC=3\n",
         {{L"Setup", L"A", L"1"}, {L"Setup", L"C", L"3"}},
         {{L"Setup", L"; B", L""}, {L"Setup", L"B", L""}}},
        {"lines before the first header are ignored", L"A=1\r\n[S]\r\nB=2", {{L"S", L"B", L"2"}},
         {{L"S", L"A", L""}}},
        {"blanks around = belong to key and value", L"[S]\r\nKey = v \r\n",
         {{L"S", L"Key ", L" v "}}, {{L"S", L"Key", L""}}},
        {"only the first = splits", L"[S]\r\nA=b=c\r\n", {{L"S", L"A", L"b=c"}}, {}},
        {"an empty value is not stored, a later one is", L"[S]\r\nA=\r\nA=x\r\n", {{L"S", L"A", L"x"}}, {}},
        {"first value of a key wins, repeated header continues", L"[S]\r\nA=1\r\n[T]\r\nX=0\r\n[S]\r\nA=2\r\nB=3",
         {{L"S", L"A", L"1"}, {L"S", L"B", L"3"}, {L"T", L"X", L"0"}}, {}},
        {"a line without = is skipped", L"[S]\r\nnothing here\r\nA=1", {{L"S", L"A", L"1"}},
         {{L"S", L"nothing here", L""}}},
        {"keys are case-sensitive", L"[S]\r\nKey=1\r\n", {{L"S", L"Key", L"1"}}, {{L"S", L"key", L""}, {L"s", L"", L""}}},
        {"header without bracket loses its last letter", L"[General\r\nA=1", {{L"Genera", L"A", L"1"}},
         {{L"General", L"", L""}}},
        {"header with trailing blanks keeps the bracket and all blanks but the last", L"[S]  \r\nA=1",
         {{L"S] ", L"A", L"1"}}, {{L"S", L"", L""}}},
        {"a lone [ names the empty section", L"[\r\nA=1\r\n", {{L"", L"A", L"1"}}, {}},
        {"a lone [ at the very end", L"[S]\r\nA=1\r\n[", {{L"S", L"A", L"1"}}, {}},
        {"CR, LF and runs of them all end lines", L"[S]\rA=1\n\n\r\rB=2", {{L"S", L"A", L"1"}, {L"S", L"B", L"2"}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ini_file_t ini;
        ini.parse_text(c.text);
        for (const auto& e : c.present) {
            const auto* s = ini.find_section(e.section);
            ASSERT_NE(s, nullptr) << std::string(e.section.begin(), e.section.end());
            EXPECT_EQ(s->get_text(e.key), e.value);
        }
        for (const auto& e : c.absent) {
            const auto* s = ini.find_section(e.section);
            if (e.key.empty()) {
                EXPECT_EQ(s, nullptr);
            } else if (s) {
                EXPECT_EQ(s->get_text(e.key), L"");
            }
        }
    }
}

TEST(IniParse, NumbersAndVectors)
{
    ini_file_t ini;
    ini.parse_text(L"[S]\r\nN=42abc\r\nM=-3\r\nE= 7\r\nL=a,,b\r\nT=a,\r\nO=one\r\n");
    const auto& s = ini.require_section(L"S");
    EXPECT_EQ(s.get_number(L"N"), 42u);
    EXPECT_EQ(s.get_number(L"M"), 0u);
    EXPECT_EQ(s.get_number(L"E"), 0u);
    EXPECT_EQ(s.get_number(L"missing"), 0u);
    EXPECT_EQ(s.get_number(L"missing", 9), 9u);
    EXPECT_EQ(s.get_number(L"O", 9), 0u);
    EXPECT_EQ(s.get_vector(L"L"), (std::vector<std::wstring>{L"a", L"", L"b"}));
    EXPECT_EQ(s.get_vector(L"T"), (std::vector<std::wstring>{L"a", L""}));
    EXPECT_EQ(s.get_vector(L"O"), (std::vector<std::wstring>{L"one"}));
    EXPECT_TRUE(s.get_vector(L"missing").empty());
}

TEST(IniParse, MissingSectionAndKeyAreNamed)
{
    ini_file_t ini;
    ini.set_path(L"C:\\pkg\\config.ini");
    ini.parse_text(L"[Setup]\r\nA=1\r\n");
    try {
        ini.require_section(L"Package");
        FAIL();
    } catch (const config_error& e) {
        EXPECT_EQ(e.code(), E_INVALIDARG);
        EXPECT_EQ(e.text(), L"C:\\pkg\\config.ini, [Package]: this section, it is missing");
    }
    try {
        ini.require_section(L"Setup").require_text(L"Version");
        FAIL();
    } catch (const config_error& e) {
        EXPECT_EQ(e.where(), L"[Setup] Version");
        EXPECT_EQ(e.file(), L"C:\\pkg\\config.ini");
    }
    EXPECT_EQ(ini.require_section(L"Setup").require_text(L"A"), L"1");
}

bytes utf16_file(std::wstring_view text)
{
    bytes b{std::byte{0xFF}, std::byte{0xFE}};
    for (wchar_t c : text) {
        b.push_back(std::byte(c & 0xFF));
        b.push_back(std::byte(c >> 8));
    }
    return b;
}

void read(const std::wstring& path, ini_file_t& ini) { test_support::run(read_text_file_async(path, ini)); }

TEST(IniRead, Utf16AndAnsiGiveTheSameSections)
{
    test_support::temp_folder dir;
    const std::wstring text = L"[Setup]\r\nName=Caf\u00E9\r\nList=a,b\r\n[Other]\r\nX=1";
    test_support::write_file(dir / L"u.ini", utf16_file(text));
    std::string ansi;
    for (wchar_t c : text)
        ansi.push_back(static_cast<char>(c));
    test_support::write_file(dir / L"a.ini", test_support::to_bytes(ansi));

    ini_file_t u, a;
    read(dir / L"u.ini", u);
    read(dir / L"a.ini", a);
    for (const ini_file_t* ini : {&u, &a}) {
        ASSERT_EQ(ini->section_count(), 2u);
        EXPECT_EQ(ini->require_section(L"Setup").get_text(L"Name"), L"Caf\u00E9");
        EXPECT_EQ(ini->require_section(L"Setup").get_text(L"List"), L"a,b");
        EXPECT_EQ(ini->require_section(L"Other").get_number(L"X"), 1u);
    }
}

TEST(IniRead, EmptyFilesHaveNoSections)
{
    test_support::temp_folder dir;
    test_support::write_file(dir / L"e.ini", {});
    test_support::write_file(dir / L"b.ini", utf16_file(L""));
    ini_file_t e, b;
    read(dir / L"e.ini", e);
    read(dir / L"b.ini", b);
    EXPECT_EQ(e.section_count(), 0u);
    EXPECT_EQ(b.section_count(), 0u);
}

// Every refused file is named with the file, where the fault is and what was expected.
TEST(IniRead, BadFilesAreRefusedWithNamedErrors)
{
    test_support::temp_folder dir;
    bytes big(static_cast<std::size_t>(max_ini_file_size) + 1, std::byte{'a'});
    bytes at_limit(static_cast<std::size_t>(max_ini_file_size), std::byte{'\n'});
    bytes odd = utf16_file(L"[S]\r\nA=1");
    odd.push_back(std::byte{'x'});
    bytes binary = test_support::to_bytes(std::string_view("[S]\r\nA=1\r\nB\0C=2", 15));

    struct bad_case {
        const char* what;
        std::wstring name;
        const bytes* content; // null: the file does not exist
        HRESULT code;
        std::wstring where;
    };
    const bad_case cases[] = {
        {"missing", L"missing.ini", nullptr, HRESULT(0x80070002), L""},
        {"over 2 MiB", L"big.ini", &big, E_INVALIDARG, L""},
        {"odd UTF-16", L"odd.ini", &odd, HRESULT(0x8007000D), L"line 2, column 4"},
        {"binary", L"binary.ini", &binary, HRESULT(0x8007000D), L"line 3, column 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.content)
            test_support::write_file(dir / c.name, *c.content);
        ini_file_t ini;
        try {
            read(dir / c.name, ini);
            ADD_FAILURE() << "read";
        } catch (const config_error& e) {
            EXPECT_EQ(e.code(), c.code);
            EXPECT_EQ(e.file(), dir / c.name);
            EXPECT_EQ(e.where(), c.where);
            EXPECT_FALSE(e.expected().empty());
        }
    }
    test_support::write_file(dir / L"limit.ini", at_limit);
    ini_file_t ini;
    read(dir / L"limit.ini", ini);
    EXPECT_EQ(ini.section_count(), 0u);
}

} // namespace
