// A sysfs GPIO tree in a temporary directory that is the program's TCU_ROOT while
// the object lives: pre-created gpioN/direction and gpioN/value files stand for
// exported lines, tests set inputs and read back what the program wrote.
#pragma once

#include <string>
#include <utility>
#include <vector>

class FakeSysfs {
  public:
    // Creates <tmp>/sys/class/gpio with empty export and unexport files and points
    // TCU_ROOT at <tmp>.
    FakeSysfs();
    // Restores TCU_ROOT and the GPIO shell runner found at construction (also after
    // a test assigned tcu_hooks.gpio_shell itself), removes the tree.
    ~FakeSysfs();
    FakeSysfs(const FakeSysfs &) = delete;
    FakeSysfs &operator=(const FakeSysfs &) = delete;

    const std::string &root() const { return root_; }
    // root + a fixed absolute path, e.g. path("/sys/class/gpio/export").
    std::string path(const std::string &fixed) const { return root_ + fixed; }

    // An exported line: gpioN/ with direction and value files.
    void add_line(int gpio, const std::string &direction = "in", int value = 1);
    // The nineteen lines of the terminal board, inputs reading `value`.
    void add_board_lines(int value = 1);
    void remove_line(int gpio);
    bool exported(int gpio) const;

    // Input level of a line: writes the value file, or, for a line not exported
    // yet, the value an emulated export will give it.
    void set_input(int gpio, int value);
    // Trimmed contents ("" when the file is missing).
    std::string value(int gpio) const;
    std::string direction(int gpio) const;
    std::string read(const std::string &fixed) const;
    void write(const std::string &fixed, const std::string &text) const;

    // Replaces the GPIO shell runner with one that records every command and then
    // runs it with system(). With emulate_kernel, the recorder also does what the
    // kernel does: an export creates gpioN (direction "in", value from set_input or
    // 1), an unexport removes it, "high"/"low"/"out" written to direction read back
    // "out" and set the value 1/0/0.
    void record_commands(bool emulate_kernel = false);
    // The next n commands fail as a shell that exits 1: nothing is written or recorded.
    void fail_commands(int n);
    std::vector<std::string> commands() const;
    // The recorded commands as (word, fixed path) for "echo <word> > <root><path>".
    std::vector<std::pair<std::string, std::string>> writes() const;
    void clear_commands();
    // Every level a line took through recorded value and direction writes, in order.
    std::vector<int> value_history(int gpio) const;

    // GPIO numbers of the board functions.
    static constexpr int gun_led[4] = {408, 409, 407, 397};
    static constexpr int contactor[4] = {405, 401, 400, 399};
    static constexpr int feedback[4] = {410, 396, 404, 398};
    static constexpr int id_switch[4] = {490, 406, 403, 402};  // bit 3 first
    static constexpr int sys_led[2] = {503, 504};
    static constexpr int use_key = 432;

  private:
    std::string root_;
    std::string saved_root_;
    bool had_root_ = false;
};
