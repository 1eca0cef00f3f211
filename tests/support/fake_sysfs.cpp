// Fake sysfs GPIO tree under a temporary TCU_ROOT, with an optional recorder of the
// shell commands board I/O runs that can also play the kernel's part.
#include "support/fake_sysfs.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include <gtest/gtest.h>

#include "adcgpio.h"

namespace {

// TCU_ROOT is process-wide, so is the one live tree and its recorder.
struct recorder_t {
    std::mutex mutex;
    std::string root;
    bool active = false;
    bool emulate = false;
    tc_shell_fn saved_shell = nullptr;
    std::vector<std::string> commands;
    std::map<int, std::vector<int>> history;
    std::map<int, int> pending_inputs;
    int failures = 0;  // commands still to fail, as a shell that exits 1
};

recorder_t recorder;

std::string gpio_dir(const std::string &root, int gpio) {
    return root + "/sys/class/gpio/gpio" + std::to_string(gpio);
}

void write_text(const std::string &file, const std::string &text) {
    std::ofstream out(file, std::ios::trunc);
    out << text;
}

std::string read_text(const std::string &file) {
    std::ifstream in(file);
    if (!in) return "";
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

void create_line(const std::string &root, int gpio, const std::string &direction, int value) {
    std::filesystem::create_directories(gpio_dir(root, gpio));
    write_text(gpio_dir(root, gpio) + "/direction", direction + "\n");
    write_text(gpio_dir(root, gpio) + "/value", std::to_string(value) + "\n");
}

// Splits "echo <word> > <root><fixed>"; false for anything else.
bool parse_command(const std::string &root, const std::string &command, std::string *word,
                   std::string *fixed) {
    if (command.rfind("echo ", 0) != 0) return false;
    size_t gt = command.find(" > ", 5);
    if (gt == std::string::npos) return false;
    *word = command.substr(5, gt - 5);
    std::string path = command.substr(gt + 3);
    if (path.rfind(root, 0) != 0) return false;
    *fixed = path.substr(root.size());
    return true;
}

// What the kernel would do after the shell wrote `word` into `fixed`.
void emulate_kernel(const std::string &root, const std::string &word, const std::string &fixed) {
    int gpio = -1;
    char leaf[32] = {};
    if (fixed == "/sys/class/gpio/export") {
        gpio = atoi(word.c_str());
        if (!std::filesystem::exists(gpio_dir(root, gpio))) {
            auto it = recorder.pending_inputs.find(gpio);
            create_line(root, gpio, "in", it != recorder.pending_inputs.end() ? it->second : 1);
        }
    } else if (fixed == "/sys/class/gpio/unexport") {
        std::filesystem::remove_all(gpio_dir(root, atoi(word.c_str())));
    } else if (sscanf(fixed.c_str(), "/sys/class/gpio/gpio%d/%31s", &gpio, leaf) == 2 &&
               strcmp(leaf, "direction") == 0 &&
               (word == "high" || word == "low" || word == "out")) {
        int level = word == "high" ? 1 : 0;
        write_text(gpio_dir(root, gpio) + "/direction", "out\n");
        write_text(gpio_dir(root, gpio) + "/value", std::to_string(level) + "\n");
    }
}

void note_level(const std::string &word, const std::string &fixed) {
    int gpio = -1;
    char leaf[32] = {};
    if (sscanf(fixed.c_str(), "/sys/class/gpio/gpio%d/%31s", &gpio, leaf) != 2) return;
    if (strcmp(leaf, "value") == 0) {
        recorder.history[gpio].push_back(atoi(word.c_str()));
    } else if (strcmp(leaf, "direction") == 0 && word != "in") {
        recorder.history[gpio].push_back(word == "high" ? 1 : 0);
    }
}

int recording_shell(const char *command) {
    std::string root;
    bool emulate = false;
    {
        std::lock_guard<std::mutex> lock(recorder.mutex);
        if (recorder.failures > 0) {
            recorder.failures--;
            return 1 << 8;  // exit status 1, nothing written, nothing recorded
        }
        recorder.commands.emplace_back(command);
        root = recorder.root;
        emulate = recorder.emulate;
    }
    int rc = system(command);
    std::string word, fixed;
    if (parse_command(root, command, &word, &fixed)) {
        std::lock_guard<std::mutex> lock(recorder.mutex);
        note_level(word, fixed);
        if (emulate) emulate_kernel(root, word, fixed);
    }
    return rc;
}

}  // namespace

FakeSysfs::FakeSysfs() {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    if (recorder.active) ADD_FAILURE() << "only one FakeSysfs may live at a time (TCU_ROOT)";
    const char *tmp = getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tcu_sysfs_XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) ADD_FAILURE() << "mkdtemp " << pattern;
    root_ = buf.data();
    std::filesystem::create_directories(root_ + "/sys/class/gpio");
    write_text(root_ + "/sys/class/gpio/export", "");
    write_text(root_ + "/sys/class/gpio/unexport", "");

    const char *old = getenv("TCU_ROOT");
    had_root_ = old != nullptr;
    if (had_root_) saved_root_ = old;
    setenv("TCU_ROOT", root_.c_str(), 1);

    // Whatever runner a test installs while the tree lives is undone with it.
    recorder.saved_shell = tcu_hooks.gpio_shell.load();
    recorder.active = true;
    recorder.root = root_;
    recorder.emulate = false;
    recorder.commands.clear();
    recorder.history.clear();
    recorder.pending_inputs.clear();
    recorder.failures = 0;
}

FakeSysfs::~FakeSysfs() {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    tcu_hooks.gpio_shell = recorder.saved_shell;
    recorder.active = false;
    if (had_root_) {
        setenv("TCU_ROOT", saved_root_.c_str(), 1);
    } else {
        unsetenv("TCU_ROOT");
    }
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

void FakeSysfs::add_line(int gpio, const std::string &direction, int value) {
    create_line(root_, gpio, direction, value);
}

void FakeSysfs::add_board_lines(int value) {
    for (int g : gun_led) add_line(g, "out", 0);
    for (int g : contactor) add_line(g, "out", 1);
    for (int g : feedback) add_line(g, "in", value);
    for (int g : id_switch) add_line(g, "in", value);
    for (int g : sys_led) add_line(g, "out", 0);
    add_line(use_key, "in", value);
}

void FakeSysfs::remove_line(int gpio) {
    std::filesystem::remove_all(gpio_dir(root_, gpio));
}

bool FakeSysfs::exported(int gpio) const {
    return std::filesystem::is_directory(gpio_dir(root_, gpio));
}

void FakeSysfs::set_input(int gpio, int value) {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    recorder.pending_inputs[gpio] = value;
    if (exported(gpio)) write_text(gpio_dir(root_, gpio) + "/value", std::to_string(value) + "\n");
}

std::string FakeSysfs::value(int gpio) const {
    return read_text(gpio_dir(root_, gpio) + "/value");
}

std::string FakeSysfs::direction(int gpio) const {
    return read_text(gpio_dir(root_, gpio) + "/direction");
}

std::string FakeSysfs::read(const std::string &fixed) const {
    return read_text(root_ + fixed);
}

void FakeSysfs::write(const std::string &fixed, const std::string &text) const {
    write_text(root_ + fixed, text);
}

void FakeSysfs::record_commands(bool emulate_kernel) {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    recorder.emulate = emulate_kernel;
    tcu_hooks.gpio_shell = recording_shell;
}

std::vector<std::string> FakeSysfs::commands() const {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    return recorder.commands;
}

std::vector<std::pair<std::string, std::string>> FakeSysfs::writes() const {
    std::vector<std::pair<std::string, std::string>> out;
    for (const std::string &command : commands()) {
        std::string word, fixed;
        if (parse_command(root_, command, &word, &fixed)) {
            out.emplace_back(word, fixed);
        } else {
            out.emplace_back("?", command);
        }
    }
    return out;
}

void FakeSysfs::fail_commands(int n) {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    recorder.failures = n;
}

void FakeSysfs::clear_commands() {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    recorder.commands.clear();
    recorder.history.clear();
}

std::vector<int> FakeSysfs::value_history(int gpio) const {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    auto it = recorder.history.find(gpio);
    return it != recorder.history.end() ? it->second : std::vector<int>{};
}
