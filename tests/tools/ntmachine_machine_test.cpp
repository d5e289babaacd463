// ntmachine create and attach, and the REG_MULTI_SZ form the tool writes.
#include <ntp/host.h>
#include "ntmachine_support.h"
#include "tool.h"

namespace {

using namespace ntmtest;

TEST(MultiSz, EncodesAsWindowsKeepsIt) {
    auto bytes = ntm::encode_multi_sz({u"ab", u"c"});
    std::vector<uint8_t> want = {'a', 0, 'b', 0, 0, 0, 'c', 0, 0, 0, 0, 0};
    EXPECT_EQ(bytes, want);
    EXPECT_EQ(ntm::encode_multi_sz({}), (std::vector<uint8_t>{0, 0}));
}

TEST(MultiSz, DecodesWhatWindowsAndOthersWrite) {
    struct Case {
        const char *name;
        std::vector<uint8_t> bytes;
        std::vector<std::u16string> want;
    } cases[] = {
        {"two strings", {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}, {u"a", u"b"}},
        {"empty list", {0, 0}, {}},
        {"no data", {}, {}},
        {"last string unterminated", {'a', 0, 0, 0, 'b', 0}, {u"a", u"b"}},
        {"list ends at the first empty string", {'a', 0, 0, 0, 0, 0, 'z', 0, 0, 0}, {u"a"}},
        {"odd trailing byte ignored", {'a', 0, 0, 0, 0, 0, 7}, {u"a"}},
    };
    for (const Case &c : cases) EXPECT_EQ(ntm::decode_multi_sz(c.bytes.data(), c.bytes.size()), c.want) << c.name;
}

TEST(SplitBlanks, EveryControlCharacterSeparates) {
    EXPECT_EQ(ntm::split_blanks("  DOZUZORO\tC:  FILES=FULL\r\n"),
              (std::vector<std::string>{"DOZUZORO", "C:", "FILES=FULL"}));
    EXPECT_TRUE(ntm::split_blanks(" \t ").empty());
}

TEST(DriveLetter, OnlyALetterAndAColon) {
    EXPECT_EQ(ntm::parse_drive_letter("c:"), 'C');
    EXPECT_EQ(ntm::parse_drive_letter("Z:"), 'Z');
    for (const char *bad : {"C", "C:\\", "1:", "CC:", ""})
        EXPECT_THROW(ntm::parse_drive_letter(bad), ntm::Failure) << bad;
}

class Create : public testing::Test {
protected:
    ScratchDir scratch;
    fs::path machine = scratch.path() / "m";
};

TEST_F(Create, HivesHoldWhatWindowsHasThere) {
    Result r = ntmachine("create " + quote(machine.string()));
    ASSERT_EQ(r.code, 0) << r.out;
    fs::path system = machine / "config" / "SYSTEM";
    EXPECT_EQ(hivexget(system, "Select", "Current"), "1\n");
    EXPECT_EQ(hivexget(system, "ControlSet001\\Control\\Session Manager", "BootExecute"), "autocheck autochk *\n\n");
    EXPECT_EQ(hivexget(system, "ControlSet001\\Control\\Session Manager\\Memory Management"),
              "\"PagingFiles\"=hex(7):00,00\n");
    Result mounted = run("hivexget " + quote(system.string()) + " MountedDevices");
    EXPECT_EQ(mounted.code, 0) << mounted.out;
    EXPECT_EQ(mounted.out, "");
    EXPECT_EQ(hivexget(machine / "config" / "SOFTWARE", "Microsoft\\Windows NT\\CurrentVersion", "CurrentVersion"),
              "5.0\n");
    // The drives file lists no drive yet.
    std::string drives = read_file(machine / "drives");
    for (std::istringstream in(drives); std::getline(in, drives);) EXPECT_TRUE(drives.empty() || drives[0] == '#');
}

TEST_F(Create, ProgramsAreLinksToTheBuild) {
    ASSERT_EQ(ntmachine("create " + quote(machine.string())).code, 0);
    fs::path bin = fs::path(NTMACHINE).parent_path();
    EXPECT_EQ(fs::read_symlink(machine / "system32" / "dozuzoro"), bin / "bootntfs");
    EXPECT_EQ(fs::read_symlink(machine / "system32" / "zirizud"), bin / "bootfat");
}

TEST_F(Create, RefusesAnExistingMachineOrABusyFolder) {
    ASSERT_EQ(ntmachine("create " + quote(machine.string())).code, 0);
    std::string before = snapshot(scratch.path());
    Result again = ntmachine("create " + quote(machine.string()));
    EXPECT_NE(again.code, 0);
    EXPECT_TRUE(contains(again.out, "is a machine already")) << again.out;

    fs::create_directories(scratch.path() / "busy");
    std::ofstream(scratch.path() / "busy" / "notes.txt") << "mine";
    Result busy = ntmachine("create " + quote(scratch / "busy"));
    EXPECT_NE(busy.code, 0);
    EXPECT_TRUE(contains(busy.out, "not an empty folder")) << busy.out;
    Result nowhere = ntmachine("create " + quote(scratch / "no/such/parent"));
    EXPECT_NE(nowhere.code, 0);
    EXPECT_TRUE(contains(nowhere.out, "does not exist")) << nowhere.out;

    fs::remove_all(scratch.path() / "busy");
    EXPECT_EQ(snapshot(scratch.path()), before) << "a refusal leaves nothing behind";
}

TEST_F(Create, AnEmptyFolderBecomesTheMachine) {
    fs::create_directories(machine);
    Result r = ntmachine("create " + quote(machine.string() + "/"));
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(fs::is_regular_file(machine / "config" / "SYSTEM"));
    // Nothing else is left beside it.
    size_t entries = 0;
    for (auto &e : fs::directory_iterator(scratch.path())) entries += 1, (void)e;
    EXPECT_EQ(entries, 1u);
}

class Attach : public Create {
protected:
    void SetUp() override {
        ASSERT_EQ(ntmachine("create " + quote(machine.string())).code, 0);
        std::ofstream(scratch / "plain.img").write(std::string(1 << 20, '\0').data(), 1 << 20);
        fs::create_directories(machine / "disks");
        std::ofstream(machine / "disks" / "inside.img").write(std::string(1 << 20, '\0').data(), 1 << 20);
        fs::create_directories(scratch.path() / "logs");
    }
    std::vector<std::string> drive_lines() {
        std::vector<std::string> lines;
        std::istringstream in(read_file(machine / "drives"));
        for (std::string l; std::getline(in, l);)
            if (!l.empty() && l[0] != '#') lines.push_back(l);
        return lines;
    }
};

TEST_F(Attach, WritesDrivesLinesTheMachineReadsBack) {
    std::string m = quote(machine.string());
    Result a = ntmachine("attach " + m + " c: image " + quote(scratch / "plain.img"));
    ASSERT_EQ(a.code, 0) << a.out;
    EXPECT_TRUE(contains(a.out, "file system: RAW")) << a.out;
    ASSERT_EQ(
        ntmachine("attach " + m + " E: image " + quote((machine / "disks" / "inside.img").string() + "@4096")).code, 0);
    ASSERT_EQ(ntmachine("attach " + m + " A: folder " + quote(scratch / "logs")).code, 0);
    auto lines = drive_lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "C: image " + fs::canonical(scratch.path() / "plain.img").string());
    EXPECT_EQ(lines[1], "E: image disks/inside.img@4096");  // inside the machine: relative
    EXPECT_EQ(lines[2], "A: folder " + fs::canonical(scratch.path() / "logs").string());

    // The platform reads the same drives.
    setenv("NT_MACHINE", machine.c_str(), 1);
    ntp::DriveConfig d;
    ASSERT_EQ(ntp::machine_drive('E', &d), STATUS_SUCCESS);
    EXPECT_EQ(d.offset, 4096u);
    EXPECT_EQ(fs::path(d.path), fs::canonical(machine / "disks" / "inside.img"));
}

TEST_F(Attach, RefusalsChangeNothing) {
    std::string m = quote(machine.string());
    ASSERT_EQ(ntmachine("attach " + m + " C: image " + quote(scratch / "plain.img")).code, 0);
    std::string before = read_file(machine / "drives");
    struct Case {
        std::string args, says;
    } cases[] = {
        {"C: image " + quote(scratch / "plain.img"), "attached already"},
        {"D: disk " + quote(scratch / "plain.img"), "unknown drive kind"},
        {"DD image " + quote(scratch / "plain.img"), "not a drive letter"},
        {"D: image " + quote(scratch / "missing.img"), "no such file"},
        {"D: image " + quote(scratch / "plain.img@2097152"), "past the end"},
        {"D: image " + quote(scratch / "plain.img@100"), "multiple of 512"},
        {"D: folder " + quote(scratch / "plain.img"), "not a folder"},
        {"D: image " + quote(scratch / "logs"), "neither an image file nor a block device"},
    };
    for (const Case &c : cases) {
        Result r = ntmachine("attach " + m + " " + c.args);
        EXPECT_NE(r.code, 0) << c.args;
        EXPECT_TRUE(contains(r.out, c.says)) << c.args << ": " << r.out;
        EXPECT_EQ(read_file(machine / "drives"), before) << c.args;
    }
    Result notMachine = ntmachine("attach " + quote(scratch / "logs") + " D: folder " + quote(scratch / "logs"));
    EXPECT_NE(notMachine.code, 0);
    EXPECT_TRUE(contains(notMachine.out, "not a machine folder")) << notMachine.out;
}

TEST(Usage, UnknownCommandsAndMissingArguments) {
    Result none = ntmachine("");
    EXPECT_EQ(none.code, 2);
    EXPECT_TRUE(contains(none.out, "usage:")) << none.out;
    Result bad = ntmachine("explode x");
    EXPECT_EQ(bad.code, 2);
    EXPECT_TRUE(contains(bad.out, "unknown command")) << bad.out;
    for (const char *args :
         {"create", "attach x", "pagefile x C: p.sys 1", "schedule x", "boot", "frag x", "map x C:", "help nothing"}) {
        Result r = ntmachine(args);
        EXPECT_EQ(r.code, 1) << args;
        EXPECT_TRUE(contains(r.out, "usage: ntmachine") || contains(r.out, "ntmachine help lists"))
            << args << ": " << r.out;
    }
}

// `ntmachine help` lists every command; each tells its usage with --help,
// and the manual page the build installs shows the same forms.
TEST(Usage, HelpOnEveryCommandAndTheManualPage) {
    Result list = ntmachine("help");
    ASSERT_EQ(list.code, 0) << list.out;
    EXPECT_EQ(ntmachine("--help").out, list.out);
    Result man = run("MANWIDTH=200 LC_ALL=C man --warnings -l " + quote(NTMACHINE_MAN));
    ASSERT_EQ(man.code, 0) << man.out;
    EXPECT_FALSE(contains(man.out, "warning")) << man.out;
    std::istringstream lines(list.out);
    std::string line;
    std::getline(lines, line);  // the heading
    size_t commands = 0;
    while (std::getline(lines, line)) {
        std::string name = line.substr(2, line.find(' ', 2) - 2);
        ++commands;
        Result help = ntmachine(name + " --help");
        ASSERT_EQ(help.code, 0) << name;
        std::string usage = "usage: ntmachine " + name + " ";
        ASSERT_EQ(help.out.rfind(usage, 0), 0u) << help.out;
        std::string forms = help.out.substr(usage.size(), help.out.find('\n') - usage.size());
        for (size_t at = 0; at != std::string::npos;) {
            size_t bar = forms.find(" | ", at);
            std::string form = forms.substr(at, bar == std::string::npos ? std::string::npos : bar - at);
            EXPECT_TRUE(contains(man.out, "ntmachine " + name + " " + form)) << form << " is not in the manual page";
            at = bar == std::string::npos ? bar : bar + 3;
        }
        EXPECT_EQ(ntmachine("help " + name).out, help.out);
    }
    EXPECT_EQ(commands, 9u);
}

}  // namespace
