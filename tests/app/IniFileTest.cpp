#include "app/IniFile.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using app::EIniFileError;
using app::TIniFile;
using zctest::ReadAll;
using zctest::TTempDir;

namespace {

std::string Utf16(const std::u16string& text) {
    std::string out = "\xFF\xFE";
    for (char16_t c : text) {
        out += char(c & 0xFF);
        out += char(c >> 8);
    }
    return out;
}

size_t FilesIn(const std::filesystem::path& dir) {
    return size_t(std::distance(std::filesystem::directory_iterator(dir), {}));
}

} // namespace

TEST(IniFileTest, LookupIsCaseInsensitiveAndFirstMatchWins) {
    TTempDir dir;
    TIniFile ini(dir.Write("a.ini",
                           "orphan=before any section\n"
                           "; comment=not a key\n"
                           "[Setting]\n"
                           "  Folder  =  /tmp/out  \n"
                           "folder=/second\n"
                           "quoted=\"  kept blanks  \"\n"
                           "empty=\n"
                           "eq=a=b\n"
                           "[other]\n"
                           "x=1\n"
                           "[SETTING]\n"
                           "late=only in the second section\n"));
    EXPECT_EQ(ini.ReadString("setting", "FOLDER", "def"), "/tmp/out");
    EXPECT_EQ(ini.ReadString("setting", "quoted", ""), "  kept blanks  ");
    EXPECT_EQ(ini.ReadString("setting", "empty", "def"), "");
    EXPECT_EQ(ini.ReadString("setting", "eq", ""), "a=b");
    // Only the first section of a name is searched.
    EXPECT_EQ(ini.ReadString("setting", "late", "def"), "def");
    EXPECT_EQ(ini.ReadString("setting", "; comment", "def"), "def");
    EXPECT_EQ(ini.ReadString("", "orphan", "def"), "def");
    EXPECT_EQ(ini.ReadString("missing", "x", "def"), "def");
    EXPECT_TRUE(ini.ValueExists("OTHER", "X"));
    EXPECT_FALSE(ini.ValueExists("other", "y"));
    EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"Setting", "other", "SETTING"}));
    EXPECT_EQ(ini.ReadSectionKeys("setting"),
              (std::vector<std::string>{"Folder", "folder", "quoted", "empty", "eq"}));

    EXPECT_EQ(TIniFile(dir.File("none.ini")).ReadString("a", "b", "def"), "def");
}

TEST(IniFileTest, NamesWithSurroundingBlanksFindWhatTheyWrote) {
    TTempDir dir;
    TIniFile ini(dir.Write("blanks.ini", "[ App ]\n  Key = v\n"));
    EXPECT_EQ(ini.ReadString(" app\t", "key ", ""), "v");
    ini.WriteString(" Sec ", " Name\t", "x");
    EXPECT_EQ(ini.ReadString(" Sec ", " Name\t", ""), "x");
    EXPECT_TRUE(ini.ValueExists("sec", "name"));
    EXPECT_EQ(ini.ReadSectionKeys(" sec"), std::vector<std::string>{"Name"});
}

TEST(IniFileTest, IntegersDecimalOrHexElseDefault) {
    TTempDir dir;
    TIniFile ini(dir.Write("i.ini",
                           "[n]\ndec=42\nneg=-7\nhex=0x1F\nHEX=0XfF\nplus=+3\nspaced= 12 \n"
                           "word=one\nmixed=12a\nbig=99999999999\nsign=-\nhexonly=0x\nmin=-2147483648\n"));
    EXPECT_EQ(ini.ReadInteger("n", "dec", 0), 42);
    EXPECT_EQ(ini.ReadInteger("n", "neg", 0), -7);
    EXPECT_EQ(ini.ReadInteger("n", "hex", 0), 31);
    EXPECT_EQ(ini.ReadInteger("n", "plus", 0), 3);
    EXPECT_EQ(ini.ReadInteger("n", "spaced", 0), 12);
    EXPECT_EQ(ini.ReadInteger("n", "min", 0), -2147483647 - 1);
    for (const char* bad : {"word", "mixed", "big", "sign", "hexonly", "missing"})
        EXPECT_EQ(ini.ReadInteger("n", bad, 5), 5) << bad;
}

TEST(IniFileTest, EveryQueryReadsTheFileAfresh) {
    TTempDir dir;
    TIniFile ini(dir.File("s.ini"));
    EXPECT_EQ(ini.ReadInteger("setting", "displayHelpDialog", 1), 1);
    dir.Write("s.ini", "[setting]\ndisplayHelpDialog=0\n");
    EXPECT_EQ(ini.ReadInteger("setting", "displayHelpDialog", 1), 0);
    TIniFile(dir.File("s.ini")).WriteInteger("Setting", "DisplayHelpDialog", 1);
    EXPECT_EQ(ini.ReadInteger("setting", "displayHelpDialog", 0), 1);
}

TEST(IniFileTest, WriteChangesOneLineAndKeepsTheRest) {
    TTempDir dir;
    const std::string original = "; settings\r\n"
                                 "[common]\r\n"
                                 "language=1\r\n"
                                 "\r\n"
                                 "[Setting]\r\n"
                                 "   DisplayHelpDialog = 1   \r\n"
                                 "displayHelpDialog=9\r\n"
                                 "folder=/x\r\n"
                                 "\r\n"
                                 "[app]\r\n"
                                 "version=2.1\r\n";
    TIniFile ini(dir.Write("c.ini", original));
    ini.WriteInteger("setting", "displayhelpdialog", 0);
    // Only the first matching key changes, spelled as the file spells it; CRLF stays.
    std::string expected = original;
    expected.replace(expected.find("   DisplayHelpDialog = 1   "), 27, "   DisplayHelpDialog=0");
    EXPECT_EQ(ReadAll(ini.FileName()), expected);

    // A missing key goes to the end of its section, before the blank line.
    ini.WriteString("SETTING", "displayHelpItunes", "1");
    expected.insert(expected.find("\r\n\r\n[app]") + 2, "displayHelpItunes=1\r\n");
    EXPECT_EQ(ReadAll(ini.FileName()), expected);

    // A missing section goes to the end of the file.
    ini.WriteString("new", "k", "v w");
    expected += "[new]\r\nk=v w\r\n";
    EXPECT_EQ(ReadAll(ini.FileName()), expected);
    EXPECT_EQ(ini.ReadString("new", "k", ""), "v w");
    EXPECT_EQ(FilesIn(dir.Path()), 1u) << "no temporary file left behind";
}

TEST(IniFileTest, WriteCreatesAFileAndCompletesAnUnterminatedLastLine) {
    TTempDir dir;
    TIniFile fresh(dir.File("new.ini"));
    fresh.WriteInteger("setting", "displayHelpDialog", 1);
    fresh.WriteString("setting", "folder", "/media/out");
    EXPECT_EQ(ReadAll(fresh.FileName()), "[setting]\ndisplayHelpDialog=1\nfolder=/media/out\n");

    TIniFile cut(dir.Write("cut.ini", "[a]\nx=1"));
    cut.WriteString("a", "y", "2");
    EXPECT_EQ(ReadAll(cut.FileName()), "[a]\nx=1\ny=2\n");
}

TEST(IniFileTest, Utf8BomAndUtf16LeRoundTrip) {
    TTempDir dir;
    TIniFile bom(dir.Write("bom.ini", "\xEF\xBB\xBF[frmMain]\nButtonAdd=添加\n"));
    EXPECT_EQ(bom.ReadString("frmMain", "ButtonAdd", ""), "添加");
    EXPECT_EQ(bom.ReadSections(), std::vector<std::string>{"frmMain"}) << "the mark is not part of the name";
    bom.WriteString("frmMain", "ButtonRemove", "删除");
    EXPECT_EQ(ReadAll(bom.FileName()), "\xEF\xBB\xBF[frmMain]\nButtonAdd=添加\nButtonRemove=删除\n");

    // UTF-16LE with a character outside the basic plane (surrogate pair).
    TIniFile wide(dir.Write("wide.ini", Utf16(u"[App]\r\nTitle=変換 %s \U0001F3AC\r\n")));
    EXPECT_EQ(wide.ReadString("app", "title", ""), "変換 %s \U0001F3AC");
    wide.WriteString("App", "Extra", "ñ");
    EXPECT_EQ(ReadAll(wide.FileName()), Utf16(u"[App]\r\nTitle=変換 %s \U0001F3AC\r\nExtra=ñ\r\n"));

    // Bytes that are not UTF-8 cannot be stored in UTF-16: refused, not replaced.
    const std::string before = ReadAll(wide.FileName());
    EXPECT_THROW(wide.WriteString("App", "Raw", "caf\xE9"), app::EIniFileError);
    EXPECT_THROW(wide.WriteString("App", "k\xBF", "1"), app::EIniFileError);
    EXPECT_THROW(wide.WriteString("App\xEF\xBB", "\xBF", "1"), app::EIniFileError) << "valid only when joined";
    EXPECT_EQ(ReadAll(wide.FileName()), before);
    // A UTF-8 file keeps such bytes as they are.
    bom.WriteString("frmMain", "Raw", "caf\xE9");
    EXPECT_EQ(bom.ReadString("frmMain", "Raw", ""), "caf\xE9");
}

TEST(IniFileTest, DamagedFilesGiveDefaultsAndStayWritable) {
    TTempDir dir;
    std::string garbage;
    for (int i = 0; i < 4096; ++i) garbage += char((i * 131 + 7) % 256);
    const std::vector<std::string> damaged = {
        garbage,
        "[unterminated\nkey=1\n",
        "[a]\nx=1\0y=2\n",
        "\xFF\xFE[\0a\0]\0\n\0x\0=\0\x01\xD8", // lone surrogate and a trailing odd byte
        "\xFF\xFE",
        "[a]\n=novalue\n\xC3\x28=bad utf8\n",
        std::string(1, '\r'),
    };
    for (size_t i = 0; i < damaged.size(); ++i) {
        TIniFile ini(dir.Write("d" + std::to_string(i) + ".ini", damaged[i]));
        EXPECT_EQ(ini.ReadInteger("a", "missing", 3), 3);
        (void)ini.ReadSections();
        (void)ini.ReadString("a", "x", "");
        ini.WriteInteger("a", "written", 5);
        EXPECT_EQ(ini.ReadInteger("a", "written", 0), 5) << "file " << i;
    }
    TIniFile unterminated(dir.File("d1.ini"));
    EXPECT_EQ(unterminated.ReadInteger("unterminated", "key", 0), 1);
}

TEST(IniFileTest, FailedOrUnsafeWritesLeaveTheFileAsItWas) {
    TTempDir dir;
    EXPECT_THROW(TIniFile(dir.File("missing/config.ini")).WriteInteger("a", "b", 1), EIniFileError);
    EXPECT_FALSE(std::filesystem::exists(dir.File("missing")));

    const std::string content = "[a]\nb=1\n";
    TIniFile ini(dir.Write("safe.ini", content));
    EXPECT_THROW(ini.WriteString("a", "b", "1\n[evil]\nc=2"), EIniFileError);
    EXPECT_THROW(ini.WriteString("a", "b=c", "1"), EIniFileError);
    EXPECT_THROW(ini.WriteString("a]x", "b", "1"), EIniFileError);
    EXPECT_THROW(ini.WriteString("a", "", "1"), EIniFileError);
    EXPECT_EQ(ReadAll(ini.FileName()), content);

    // A path that exists but cannot be read must not be replaced by a new file.
    std::filesystem::create_directory(dir.File("folder.ini"));
    EXPECT_THROW(TIniFile(dir.File("folder.ini")).WriteString("a", "b", "1"), EIniFileError);
    EXPECT_TRUE(std::filesystem::is_directory(dir.File("folder.ini")));

}

TEST(IniFileTest, WriteIntoAReadOnlyFolderFailsCleanly) {
    TTempDir dir;
    const std::string content = "[a]\nb=1\n";
    std::filesystem::create_directory(dir.File("ro"));
    TIniFile locked(dir.Write("ro/c.ini", content));
    ::chmod(dir.Path().c_str(), 0755);
    ::chmod(dir.File("ro").c_str(), 0555);
    // Permissions do not stop root, so as root the write is tried by a child
    // that has dropped to an unprivileged user.
    auto refused = [&] {
        try {
            locked.WriteString("a", "b", "2");
        } catch (const EIniFileError& e) {
            return std::string(e.what()).find("Permission denied") != std::string::npos;
        }
        return false;
    };
    if (::geteuid() != 0) {
        EXPECT_TRUE(refused());
    } else {
        const pid_t child = ::fork();
        if (child == 0) {
            const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
            ::_exit(dropped && refused() ? 0 : 1);
        }
        int status = -1;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the write was not refused";
    }
    ::chmod(dir.File("ro").c_str(), 0700);
    EXPECT_EQ(ReadAll(locked.FileName()), content);
    EXPECT_EQ(FilesIn(dir.File("ro")), 1u);
}

TEST(IniFileTest, WriteKeepsPermissionsAndLinks) {
    TTempDir dir;
    const std::string real = dir.Write("real.ini", "[a]\nb=1\n");
    ::chmod(real.c_str(), 0640);
    std::filesystem::create_symlink("real.ini", dir.File("link.ini"));
    TIniFile(dir.File("link.ini")).WriteInteger("a", "b", 2);
    EXPECT_TRUE(std::filesystem::is_symlink(dir.File("link.ini")));
    EXPECT_EQ(ReadAll(real), "[a]\nb=2\n");
    struct stat st {};
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}
