// Board I/O against a fake sysfs GPIO tree under TCU_ROOT: line numbers, the exact
// values and commands written, input polarity, set-up and release order, and that
// start-up never closes a contactor.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "adcgpio.h"
#include "support/fake_sysfs.h"

namespace {

using Writes = std::vector<std::pair<std::string, std::string>>;

std::string dir_of(int gpio) {
    return "/sys/class/gpio/gpio" + std::to_string(gpio) + "/direction";
}
std::string value_of(int gpio) {
    return "/sys/class/gpio/gpio" + std::to_string(gpio) + "/value";
}
const std::string export_file = "/sys/class/gpio/export";
const std::string unexport_file = "/sys/class/gpio/unexport";

struct BoardLine {
    int gpio;
    bool out;
    int default_v;
};

// The board's set-up order.
const std::vector<BoardLine> init_order = {
    {432, false, 0}, {503, true, 1},  {504, true, 0},  {406, false, 0}, {402, false, 0},
    {403, false, 0}, {490, false, 0}, {407, true, 0},  {408, true, 0},  {409, true, 0},
    {397, true, 0},  {399, true, 1},  {400, true, 1},  {401, true, 1},  {405, true, 1},
    {410, false, 0}, {396, false, 0}, {398, false, 0}, {404, false, 0},
};

bool is_contactor(int gpio) {
    for (int c : FakeSysfs::contactor) {
        if (c == gpio) return true;
    }
    return false;
}

}  // namespace

TEST(BoardLines, NumberingClampsIntoTheBank) {
    EXPECT_EQ(get_gpio_index(0, 0), 488);
    EXPECT_EQ(get_gpio_index(0, 23), 511);
    EXPECT_EQ(get_gpio_index(0, -5), 488);
    EXPECT_EQ(get_gpio_index(0, 24), 511);
    EXPECT_EQ(get_gpio_index(1, 12), 408);
    EXPECT_EQ(get_gpio_index(1, 100), 487);
    EXPECT_EQ(get_gpio_index(2, 0), 344);
    EXPECT_EQ(get_gpio_index(2, 99), 395);
    EXPECT_EQ(get_gpio_index(3, 4), 0);
    EXPECT_EQ(get_gpio_index(-1, 4), 0);
}

TEST(BoardOutputs, LedsAndContactorsAreActiveLow) {
    FakeSysfs sys;
    sys.add_board_lines();
    for (int i = 0; i < 4; i++) {
        set_KMD_out(i, 1);
        EXPECT_EQ(sys.value(FakeSysfs::contactor[i]), "0") << "contactor " << i << " closed";
        set_KMD_out(i, 0);
        EXPECT_EQ(sys.value(FakeSysfs::contactor[i]), "1") << "contactor " << i << " open";
        set_GUNLED_on(i, 7);
        EXPECT_EQ(sys.value(FakeSysfs::gun_led[i]), "0") << "gun LED " << i << " on";
        set_GUNLED_on(i, 0);
        EXPECT_EQ(sys.value(FakeSysfs::gun_led[i]), "1") << "gun LED " << i << " off";
    }
    // System LEDs take the value unchanged.
    set_SYSLED_on(0, 1);
    set_SYSLED_on(1, 0);
    EXPECT_EQ(sys.value(503), "1");
    EXPECT_EQ(sys.value(504), "0");

    sys.record_commands();
    set_KMD_out(0, 1);
    set_GUNLED_on(3, 0);
    EXPECT_EQ(sys.commands(), (std::vector<std::string>{
                                  "echo 0 > " + sys.path(value_of(405)),
                                  "echo 1 > " + sys.path(value_of(397)),
                              }));
    sys.clear_commands();
    set_GUNLED_on(4, 1);
    set_GUNLED_on(-1, 1);
    set_KMD_out(-1, 1);
    set_KMD_out(4, 1);
    set_SYSLED_on(2, 1);
    EXPECT_TRUE(sys.commands().empty());
}

TEST(BoardInputs, FeedbackSwitchAndKeyPolarity) {
    FakeSysfs sys;
    sys.add_board_lines(1);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(get_KMDFB(i), 0);
        sys.set_input(FakeSysfs::feedback[i], 0);
        EXPECT_EQ(get_KMDFB(i), 1) << "feedback " << i;
        sys.set_input(FakeSysfs::feedback[i], 1);
    }
    EXPECT_EQ(get_KMDFB(7), 0);
    EXPECT_EQ(get_KMDFB(-1), 0);

    EXPECT_EQ(get_TCUID(), 0);
    sys.set_input(490, 0);
    EXPECT_EQ(get_TCUID(), 8);
    for (int g : FakeSysfs::id_switch) sys.set_input(g, 0);
    EXPECT_EQ(get_TCUID(), 15);
    sys.set_input(490, 1);
    sys.set_input(403, 1);
    EXPECT_EQ(get_TCUID(), 5);

    EXPECT_EQ(get_USEKEY(), 1);
    sys.set_input(432, 0);
    EXPECT_EQ(get_USEKEY(), 0);
}

TEST(BoardInputs, UnreadableValueReadsAsOne) {
    FakeSysfs sys;
    EXPECT_EQ(get_gpio_value(1, 14), 1);  // not exported: no value file
    EXPECT_EQ(get_KMDFB(0), 0);
    sys.add_line(410, "in", 0);
    EXPECT_EQ(get_gpio_value(1, 14), 0);
    sys.write(value_of(410), "garbage\n");
    EXPECT_EQ(get_gpio_value(1, 14), 1);
    sys.write(value_of(410), "");
    EXPECT_EQ(get_gpio_value(1, 14), 1);
    EXPECT_EQ(get_KMDFB(0), 0);
}

TEST(BoardInputs, IdentitySwitchesAreSetUpBeforeTheyAreRead) {
    // Freshly booted board: nothing exported yet, the loader asks for the id before
    // tcu_BSP_init has run.
    FakeSysfs sys;
    sys.record_commands(true);
    sys.set_input(490, 0);
    sys.set_input(402, 0);
    EXPECT_EQ(get_TCUID(), 9);
    EXPECT_EQ(sys.writes(), (Writes{
                                {"490", export_file},
                                {"in", dir_of(490)},
                                {"406", export_file},
                                {"in", dir_of(406)},
                                {"403", export_file},
                                {"in", dir_of(403)},
                                {"402", export_file},
                                {"in", dir_of(402)},
                            }));
    // Already exported now: only the direction again.
    sys.clear_commands();
    EXPECT_EQ(get_TCUID(), 9);
    EXPECT_EQ(sys.writes().size(), 4u);
    for (const auto &[word, path] : sys.writes()) EXPECT_EQ(word, "in") << path;
}

TEST(BoardSetup, InitAndExitOrderOnAFreshBoard) {
    FakeSysfs sys;
    sys.record_commands(true);
    tcu_BSP_init();

    Writes expected;
    for (const BoardLine &line : init_order) {
        expected.emplace_back(std::to_string(line.gpio), export_file);
        if (line.out) {
            expected.emplace_back(line.default_v ? "high" : "low", dir_of(line.gpio));
            expected.emplace_back(std::to_string(line.default_v), value_of(line.gpio));
        } else {
            expected.emplace_back("in", dir_of(line.gpio));
        }
    }
    EXPECT_EQ(sys.writes(), expected);
    EXPECT_EQ(sys.writes().size(), 48u);
    // The exact command text, root included.
    EXPECT_EQ(sys.commands().front(), "echo 432 > " + sys.path(export_file));
    EXPECT_EQ(sys.commands()[3], "echo high > " + sys.path(dir_of(503)));

    for (const BoardLine &line : init_order) {
        ASSERT_TRUE(sys.exported(line.gpio)) << line.gpio;
        EXPECT_EQ(sys.direction(line.gpio), line.out ? "out" : "in") << line.gpio;
        if (line.out) {
            EXPECT_EQ(sys.value(line.gpio), std::to_string(line.default_v)) << line.gpio;
        }
    }

    sys.clear_commands();
    tcu_BSP_exit();
    Writes released;
    for (const BoardLine &line : init_order) {
        released.emplace_back(std::to_string(line.gpio), unexport_file);
    }
    EXPECT_EQ(sys.writes(), released);
    for (const BoardLine &line : init_order) EXPECT_FALSE(sys.exported(line.gpio)) << line.gpio;

    // Releasing lines that are not exported runs nothing.
    sys.clear_commands();
    tcu_BSP_exit();
    config_gpio_free(1, 9);
    EXPECT_TRUE(sys.commands().empty());
}

TEST(BoardSetup, ExportedLinesAreNotExportedAgain) {
    FakeSysfs sys;
    sys.add_line(405, "out", 0);  // left exported by an earlier run
    sys.add_line(432, "in", 1);
    sys.record_commands(true);
    tcu_BSP_init();
    int exports = 0;
    for (const auto &[word, path] : sys.writes()) {
        if (path != export_file) continue;
        exports++;
        EXPECT_NE(word, "405");
        EXPECT_NE(word, "432");
    }
    EXPECT_EQ(exports, 17);
    // Direction and start value are written all the same.
    EXPECT_EQ(sys.direction(405), "out");
    EXPECT_EQ(sys.value(405), "1");
    EXPECT_EQ(sys.direction(432), "in");
}

TEST(BoardSetup, StartUpNeverClosesAContactor) {
    // Both a fresh board and one whose lines an earlier run left exported.
    for (bool fresh : {true, false}) {
        SCOPED_TRACE(fresh ? "fresh board" : "lines left exported");
        FakeSysfs sys;
        if (!fresh) sys.add_board_lines();
        sys.record_commands(true);
        tcu_BSP_init();
        for (int i = 0; i < 4; i++) set_GUNLED_on(i, 0);
        for (int i = 0; i < 4; i++) set_KMD_out(i, 0);

        for (const auto &[word, path] : sys.writes()) {
            int gpio = -1;
            char leaf[16] = {};
            if (sscanf(path.c_str(), "/sys/class/gpio/gpio%d/%15s", &gpio, leaf) != 2) continue;
            if (!is_contactor(gpio)) continue;
            EXPECT_NE(word, "0") << path;
            EXPECT_NE(word, "low") << path;
            EXPECT_NE(word, "out") << path;
        }
        for (int i = 0; i < 4; i++) {
            int gpio = FakeSysfs::contactor[i];
            for (int level : sys.value_history(gpio)) EXPECT_EQ(level, 1) << "contactor " << i;
            EXPECT_FALSE(sys.value_history(gpio).empty());
            EXPECT_EQ(sys.value(gpio), "1");
            EXPECT_EQ(sys.value(FakeSysfs::gun_led[i]), "1") << "gun LED " << i << " off";
        }
    }
}

TEST(BoardSetup, RootUnfitForAShellRunsNothing) {
    FakeSysfs sys;
    sys.add_board_lines();
    sys.record_commands();
    std::string hostile = sys.root() + "/x;touch " + sys.root() + "/pwned";
    setenv("TCU_ROOT", hostile.c_str(), 1);
    set_KMD_out(0, 1);
    tcu_BSP_init();
    setenv("TCU_ROOT", sys.root().c_str(), 1);
    EXPECT_TRUE(sys.commands().empty());
    EXPECT_EQ(sys.read("/pwned"), "");
    EXPECT_EQ(sys.value(405), "1");
}

// A contactor command holds only once the line reads back what was written: one failed
// shell is written again, a shell that always fails ends in -2 with the line as it was.
TEST(BoardOutputs, FailedContactorWriteIsRepeatedUntilItHolds) {
    FakeSysfs sys;
    sys.add_board_lines();
    sys.record_commands(true);
    sys.fail_commands(1);
    EXPECT_EQ(set_KMD_out(0, 1), 0);
    EXPECT_EQ(sys.value(FakeSysfs::contactor[0]), "0");
    EXPECT_EQ(sys.commands().size(), 1u);
    sys.fail_commands(1000);
    EXPECT_EQ(set_KMD_out(0, 0), -2);
    EXPECT_EQ(sys.value(FakeSysfs::contactor[0]), "0") << "nothing was written";
    sys.fail_commands(0);
    EXPECT_EQ(set_KMD_out(0, 0), 0);
    EXPECT_EQ(sys.value(FakeSysfs::contactor[0]), "1");
}

// A line stuck closed: every write "succeeds" and the line still reads 0. Opening it
// is never confirmed.
TEST(BoardOutputs, ContactorReadingBackTheWrongLevelIsNotConfirmed) {
    FakeSysfs sys;
    sys.add_board_lines();
    sys.write(value_of(FakeSysfs::contactor[0]), "0\n");
    static int writes = 0;
    tcu_hooks.gpio_shell = [](const char *) {
        writes++;
        return 0;
    };
    EXPECT_EQ(set_KMD_out(0, 0), -2);
    EXPECT_EQ(writes, KMD_WRITE_ATTEMPTS);
}
