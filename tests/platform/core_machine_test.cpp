// The machine folder: NT_MACHINE, the drives file and the reboot record.
#include "core_support.h"

namespace {

using namespace coretest;

class Machine : public testing::Test {
protected:
    void SetUp() override { make_machine(dir.path()); }
    // Looks a drive up with the drives file given; stderr is kept in `errors`.
    NTSTATUS lookup(const std::string &drives, char letter, ntp::DriveConfig *out) {
        write_file(dir.path() / "drives", drives);
        EnvVar machine("NT_MACHINE", dir.str());
        testing::internal::CaptureStderr();
        NTSTATUS status = ntp::machine_drive(letter, out);
        errors = testing::internal::GetCapturedStderr();
        return status;
    }
    ScratchDir dir;
    std::string errors;
};

TEST_F(Machine, RootIsTheAbsoluteMachineFolder) {
    EnvVar machine("NT_MACHINE", dir.str() + "/./");
    std::string root;
    ASSERT_EQ(ntp::machine_root(&root), STATUS_SUCCESS);
    EXPECT_EQ(fs::path(root), fs::canonical(dir.path()));
}

TEST_F(Machine, UnsetVariableIsNamedInTheWarning) {
    unsetenv("NT_MACHINE");
    std::string root = "untouched";
    testing::internal::CaptureStderr();
    EXPECT_FALSE(NT_SUCCESS(ntp::machine_root(&root)));
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("NT_MACHINE"), std::string::npos) << said;
    EXPECT_EQ(root, "untouched");
}

TEST_F(Machine, FolderWithoutTheMachineFilesIsRefused) {
    ScratchDir other;
    write_file(other.path() / "drives", "");  // but no config/SYSTEM
    EnvVar machine("NT_MACHINE", other.str());
    std::string root;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(NT_SUCCESS(ntp::machine_root(&root)));
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("not a machine folder"), std::string::npos) << said;
    EXPECT_NE(said.find("config/SYSTEM"), std::string::npos) << said;

    EnvVar missing("NT_MACHINE", other.str() + "/nowhere");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(NT_SUCCESS(ntp::machine_root(&root)));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("no such folder"), std::string::npos);
}

TEST_F(Machine, DrivesFileForms) {
    std::string drives = "# the machine's drives\n"
                         "\n"
                         "C: image disks/c.img        # relative to the machine\n"
                         "d:   image /dev/sdb1\n"
                         "E: image disks/all.img@1048576\n"
                         "A: folder logs\n"
                         "F: image disks/with blank.img\n";
    ntp::DriveConfig d;
    ASSERT_EQ(lookup(drives, 'c', &d), STATUS_SUCCESS) << errors;
    EXPECT_EQ(d.letter, 'C');
    EXPECT_EQ(d.kind, ntp::DriveConfig::Kind::Image);
    EXPECT_EQ(fs::path(d.path), fs::canonical(dir.path()) / "disks/c.img");
    EXPECT_EQ(d.offset, 0u);
    ASSERT_EQ(lookup(drives, 'D', &d), STATUS_SUCCESS);
    EXPECT_EQ(d.path, "/dev/sdb1");
    ASSERT_EQ(lookup(drives, 'E', &d), STATUS_SUCCESS);
    EXPECT_EQ(d.offset, 1048576u);
    EXPECT_EQ(fs::path(d.path).filename(), "all.img");
    ASSERT_EQ(lookup(drives, 'A', &d), STATUS_SUCCESS);
    EXPECT_EQ(d.kind, ntp::DriveConfig::Kind::Folder);
    EXPECT_EQ(fs::path(d.path).filename(), "logs");
    ASSERT_EQ(lookup(drives, 'F', &d), STATUS_SUCCESS);
    EXPECT_EQ(fs::path(d.path).filename(), "with blank.img");
    EXPECT_EQ(lookup(drives, 'G', &d), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(errors.empty()) << errors;
}

TEST_F(Machine, MalformedLineIsNamedWithFileAndLine) {
    std::string drives = "C: image c.img\n"
                         "D: imag d.img\n"
                         "E: image e.img@12k\n"
                         "Q image q.img\n";
    ntp::DriveConfig d;
    ASSERT_EQ(lookup(drives, 'C', &d), STATUS_SUCCESS);  // good lines still work
    EXPECT_NE(errors.find("drives:2:"), std::string::npos) << errors;
    EXPECT_NE(errors.find("imag"), std::string::npos) << errors;
    EXPECT_NE(errors.find("drives:3:"), std::string::npos) << errors;
    EXPECT_NE(errors.find("drives:4:"), std::string::npos) << errors;
    // The drive of a malformed line is not there, and says why.
    d.path = "untouched";
    EXPECT_EQ(lookup(drives, 'D', &d), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(d.path, "untouched");
    EXPECT_EQ(lookup(drives, 'E', &d), STATUS_OBJECT_NAME_INVALID);
}

TEST_F(Machine, DrivesFileIsReadOnEveryCall) {
    ntp::DriveConfig d;
    EXPECT_EQ(lookup("", 'C', &d), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(lookup("C: folder c\n", 'C', &d), STATUS_SUCCESS);
    EXPECT_EQ(lookup("C: image c.img\nC: folder other\n", 'C', &d), STATUS_SUCCESS);
    EXPECT_EQ(d.kind, ntp::DriveConfig::Kind::Image);  // the first line of a letter counts
    EXPECT_NE(errors.find("second time"), std::string::npos) << errors;
}

TEST_F(Machine, RebootRecordFormat) {
    EnvVar machine("NT_MACHINE", dir.str());
    ASSERT_EQ(ntp::machine_record_reboot(ShutdownReboot), STATUS_SUCCESS);
    EXPECT_EQ(read_file(dir.path() / ntp::kRebootFile), "reboot\n");
    ASSERT_EQ(ntp::machine_record_reboot(ShutdownNoReboot), STATUS_SUCCESS);
    EXPECT_EQ(read_file(dir.path() / ntp::kRebootFile), "shutdown\n");
    // Nothing but the record is left behind.
    size_t files = 0;
    for (auto &e : fs::directory_iterator(dir.path())) files += e.is_regular_file();
    EXPECT_EQ(files, 2u);  // drives and reboot
}

TEST_F(Machine, RebootWithoutMachineFails) {
    unsetenv("NT_MACHINE");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(NT_SUCCESS(ntp::machine_record_reboot(ShutdownReboot)));
    testing::internal::GetCapturedStderr();
}

}  // namespace
