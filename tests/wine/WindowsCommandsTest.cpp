// The module commands over Windows' comm calls against the simulated
// module: what is written lands on the module's disk and comes back the
// same, rate changes hold, and the search finds the module on COM2. (Wine
// gives 14400 and 56000 to a pseudo-terminal as 38400, so the module sits at
// a rate the search reaches before those.)
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "WineSetup.h"
#include "protocol/DeviceCommands.h"
#include "protocol/DiskCommands.h"
#include "protocol/ModuleSearch.h"
#include "serial/SerialChannel.h"

namespace {

std::string DiskPath(const std::string& name) {
    const char* folder = std::getenv("TOVREL_WINE_DISK");
    return std::string(folder != nullptr ? folder : "") + "\\" + name;
}

bool ReadDiskFile(const std::string& name, Bytes* out) {
    std::ifstream in(DiskPath(name), std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

class DiskModule : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("TOVREL_WINE_DISK"), nullptr) << "run under tests/wine/run-under-wine.sh";
        ASSERT_TRUE(ReopenSerialChannel(kDiskPort, 9600));
        DiskProtocolReset();
    }
    void TearDown() override {
        theSerialChannel.Close(true);
        DiskProtocolReset();
    }
};

}  // namespace

TEST_F(DiskModule, StatusReportsRateAndDisk) {
    DeviceInfo info{};
    ASSERT_TRUE(DiskGetInfo(&info));
    EXPECT_EQ(kModuleBaudRates[info.baudIndex], 9600);
    EXPECT_NE(info.diskPresent, 0);
}

TEST_F(DiskModule, WrittenDataLandsOnTheDiskAndComesBack) {
    for (size_t size : {1u, 512u, 1000u, 4099u}) {
        SCOPED_TRACE(size);
        const std::string name = "W" + std::to_string(size) + ".BIN";
        const Bytes data = Pattern(size);
        DiskFileHandle* file = DiskOpenFile(name.c_str());
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(DiskWrite(data.data(), static_cast<uint32_t>(size), file), size);
        EXPECT_EQ(DiskSeek(file, 0, 0), 0);
        Bytes back(size + 1, 0xEE);
        EXPECT_EQ(DiskRead(back.data(), static_cast<uint32_t>(size), file), size);
        EXPECT_EQ(back[size], 0xEE);
        back.resize(size);
        EXPECT_EQ(back, data);
        EXPECT_EQ(DiskCloseFile(), 0);

        Bytes onDisk;
        ASSERT_TRUE(ReadDiskFile(name, &onDisk));
        EXPECT_EQ(onDisk, data);
        // Opened again, the file reports its size and reads from the end.
        file = DiskOpenFile(name.c_str());
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(file->size, size);
        EXPECT_EQ(DiskSeek(file, -1, 2), 0);
        uint8_t last = 0;
        EXPECT_EQ(DiskRead(&last, 1, file), 1u);
        EXPECT_EQ(last, data.back());
        EXPECT_EQ(DiskCloseFile(), 0);
        EXPECT_EQ(DiskDeleteFile(name.c_str()), 0);
        EXPECT_FALSE(ReadDiskFile(name, &onDisk));
    }
}

TEST_F(DiskModule, DirectoriesAreMadeEnteredAndRemoved) {
    EXPECT_EQ(DiskMakeDir("WINEDIR"), 0);
    EXPECT_NE(DiskMakeDir("WINEDIR"), 0);
    ASSERT_EQ(DiskSetCurrentDir("WINEDIR"), 0);
    DiskFileHandle* file = DiskOpenFile("IN.TXT");
    ASSERT_NE(file, nullptr);
    const Bytes text = {'h', 'i'};
    EXPECT_EQ(DiskWrite(text.data(), 2, file), 2u);
    EXPECT_EQ(DiskCloseFile(), 0);
    Bytes onDisk;
    ASSERT_TRUE(ReadDiskFile("WINEDIR\\IN.TXT", &onDisk));
    EXPECT_EQ(onDisk, text);
    ASSERT_EQ(DiskSetCurrentDir("/"), 0);
    EXPECT_NE(DiskRemoveDir("WINEDIR"), 0);  // not empty
    EXPECT_EQ(DiskDeleteFile("WINEDIR/IN.TXT"), 0);
    EXPECT_EQ(DiskRemoveDir("WINEDIR"), 0);
}

// A name goes out in a second send right after its header: the purge that
// starts that send must not take back header bytes the module has not read
// yet (it is slowest to read on after closing a file it has written).
TEST_F(DiskModule, HeaderAndNameSentBackToBackBothArrive) {
    int unanswered = 0;
    const uint8_t byte = 0x75;
    for (int i = 0; i < 300; ++i) {
        DiskFileHandle* file = DiskOpenFile("AGAIN.BIN");
        if (file == nullptr || DiskWrite(&byte, 1, file) != 1) ++unanswered;
        if (DiskCloseFile() != 0) ++unanswered;
    }
    EXPECT_EQ(unanswered, 0);
    EXPECT_EQ(DiskDeleteFile("AGAIN.BIN"), 0);
}

TEST_F(DiskModule, NewRateHoldsAndTheOldOneComesBack) {
    DeviceInfo info{};
    ASSERT_TRUE(DiskGetInfo(&info));
    for (int index : {6, 7, 1}) {  // 57600, 115200, back to 9600
        SCOPED_TRACE(kModuleBaudRates[index]);
        DeviceSettings settings{static_cast<uint8_t>(index), 26, 12, 7, 12, 0, 0};
        ASSERT_TRUE(DiskSetParams(&settings));
        ASSERT_TRUE(ReopenSerialChannel(kDiskPort, kModuleBaudRates[index]));
        ASSERT_TRUE(DiskGetInfo(&info));
        EXPECT_EQ(info.baudIndex, index);
    }
}

TEST(NoModule, SilentLineIsNoAnswerWithinTheWait) {
    ASSERT_TRUE(ReopenSerialChannel(kSilentPort, 9600));
    DeviceInfo info{};
    const auto start = Clock::now();
    EXPECT_FALSE(DiskGetInfo(&info));
    EXPECT_LT(ElapsedMs(start), 5000);
    theSerialChannel.Close(true);
}

TEST(Search, FindsTheModuleOnCom2At19200AfterASilentCom1) {
    ModuleFound found;
    const auto start = Clock::now();
    ASSERT_TRUE(SearchModule(&found));
    EXPECT_EQ(found.portIndex, 1);
    EXPECT_EQ(found.baudIndex, 3);  // after 4800, 9600 and 14400
    EXPECT_EQ(kModuleBaudRates[found.info.baudIndex], 19200);
    EXPECT_STREQ(theSerialChannel.m_pszPortName, "COM2");
    EXPECT_EQ(theSerialChannel.m_nBaudRate, 19200);
    EXPECT_LT(ElapsedMs(start), 60000);
    theSerialChannel.Close(true);
}
