// The configuration file as an installer writes it: conversions, the identity
// switches behind "-1", keys missing or of the wrong type, broken files that must
// survive a shutdown, text after the object, and the save/load round trip.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "config.h"
#include "support/fake_sysfs.h"

namespace {

const char *full_config = R"({
    "tcu_id": "3",
    "enable_modbus_hw": "1",
    "enable_hmi": "0",
    "enable_ocpp": "2",
    "ast_tty": "/dev/ttyS2",
    "ifname": "eth1",
    "zqlog_ip": "192.168.1.20",
    "zqlog_port": "9000",
    "modbus_hw": {
        "serverip": "192.168.1.10",
        "port": "502",
        "enable_ssl": "1",
        "maxI_GUNA": "250",
        "maxI_GUNB": "200"
    }
})";

std::string slurp(const std::string &file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void spit(const std::string &file, const std::string &text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
}

// A temporary root (also the fake sysfs tree behind the identity switches) with the
// configuration file at its installed place.
class ConfigFile : public testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(sys.path("/home/root/etc"));
        file = sys.path("/home/root/etc/tcu_config.json");
    }
    void load(const std::string &text) {
        spit(file, text);
        tcu_config_init(file.c_str());
    }
    void TearDown() override { tcu_config_init(nullptr); }  // leave no loaded texts behind

    FakeSysfs sys;
    std::string file;
};

void expect_full(const tcu_config_t &c) {
    EXPECT_EQ(c.tcu_id, 3);
    EXPECT_EQ(c.enable_modbus_hw, 1);
    EXPECT_EQ(c.enable_hmi, 0);
    EXPECT_EQ(c.enable_ocpp, 2);
    ASSERT_NE(c.ast_tty, nullptr);
    EXPECT_STREQ(c.ast_tty, "/dev/ttyS2");
    ASSERT_NE(c.ifname, nullptr);
    EXPECT_STREQ(c.ifname, "eth1");
    ASSERT_NE(c.zqlog_ip, nullptr);
    EXPECT_STREQ(c.zqlog_ip, "192.168.1.20");
    EXPECT_EQ(c.zqlog_port, 9000);
    ASSERT_NE(c.modbus_hw.serverip, nullptr);
    EXPECT_STREQ(c.modbus_hw.serverip, "192.168.1.10");
    ASSERT_NE(c.modbus_hw.port, nullptr);
    EXPECT_STREQ(c.modbus_hw.port, "502");
    EXPECT_EQ(c.modbus_hw.enable_ssl, 1);
    EXPECT_EQ(c.modbus_hw.maxI_GUNA, 250);
    EXPECT_EQ(c.modbus_hw.maxI_GUNB, 200);
}

}  // namespace

TEST_F(ConfigFile, SaveThenLoadRoundTrip) {
    load(full_config);
    expect_full(tcu_config);

    std::string copy = sys.path("/home/root/etc/copy.json");
    tcu_config_save(copy.c_str());
    std::string text = slurp(copy);
    // cJSON's indented form, keys in the loader's order, "modbus_hw" last, no
    // trailing line break.
    EXPECT_EQ(text,
              "{\n\t\"tcu_id\":\t\"3\",\n\t\"enable_modbus_hw\":\t\"1\",\n\t\"enable_hmi\":\t\"0\","
              "\n\t\"enable_ocpp\":\t\"2\",\n\t\"ast_tty\":\t\"/dev/ttyS2\",\n\t\"ifname\":\t"
              "\"eth1\",\n\t\"zqlog_ip\":\t\"192.168.1.20\",\n\t\"zqlog_port\":\t\"9000\",\n\t"
              "\"modbus_hw\":\t{\n\t\t\"serverip\":\t\"192.168.1.10\",\n\t\t\"port\":\t\"502\",\n\t"
              "\t\"enable_ssl\":\t\"1\",\n\t\t\"maxI_GUNA\":\t\"250\",\n\t\t\"maxI_GUNB\":\t\"200\""
              "\n\t}\n}");
    EXPECT_FALSE(std::filesystem::exists(copy + ".tmp"));

    tcu_config_init(copy.c_str());
    expect_full(tcu_config);

    // The write-back at shutdown goes to the file the record came from, replacing it.
    tcu_config_init(file.c_str());
    tcu_config_exit();
    EXPECT_EQ(slurp(file), text);
    EXPECT_FALSE(std::filesystem::exists(file + ".tmp"));
}

TEST_F(ConfigFile, DecimalConversionsCutToTheFieldWidth) {
    load(R"({"tcu_id": "70000", "enable_modbus_hw": " +12", "enable_hmi": "abc",
             "enable_ocpp": "-32769", "ast_tty": "", "ifname": "eth0", "zqlog_ip": "x",
             "zqlog_port": "8080x",
             "modbus_hw": {"serverip": "h", "port": "0502", "enable_ssl": "1e3",
                           "maxI_GUNA": "70000", "maxI_GUNB": "  -7 A"}})");
    EXPECT_EQ(tcu_config.tcu_id, 4464);
    EXPECT_EQ(tcu_config.enable_modbus_hw, 12);
    EXPECT_EQ(tcu_config.enable_hmi, 0);
    EXPECT_EQ(tcu_config.enable_ocpp, 32767);
    ASSERT_NE(tcu_config.ast_tty, nullptr);
    EXPECT_STREQ(tcu_config.ast_tty, "");
    EXPECT_EQ(tcu_config.zqlog_port, 8080);
    EXPECT_STREQ(tcu_config.modbus_hw.port, "0502");  // a service text, kept as written
    EXPECT_EQ(tcu_config.modbus_hw.enable_ssl, 1);
    EXPECT_EQ(tcu_config.modbus_hw.maxI_GUNA, 4464);
    EXPECT_EQ(tcu_config.modbus_hw.maxI_GUNB, -7);

    load(R"({"zqlog_port": "70000"})");
    EXPECT_EQ(tcu_config.zqlog_port, 70000);  // 32 bits: nothing cut
}

TEST_F(ConfigFile, MinusOneReadsTheIdentitySwitches) {
    for (int g : FakeSysfs::id_switch) sys.add_line(g, "in", 1);
    sys.set_input(490, 0);  // bit 3
    sys.set_input(402, 0);  // bit 0
    for (const char *id : {"-1", "-01", "65535", " -1"}) {
        SCOPED_TRACE(id);
        load(std::string(R"({"tcu_id": ")") + id + R"(", "ifname": "eth1"})");
        EXPECT_EQ(tcu_config.tcu_id, 9);
        EXPECT_STREQ(tcu_config.ifname, "eth1");
        // The loader set the lines up as inputs before reading them.
        EXPECT_EQ(sys.direction(490), "in");
    }
    // The id read is what the write-back stores.
    tcu_config_exit();
    tcu_config_init(file.c_str());
    EXPECT_EQ(tcu_config.tcu_id, 9);
    EXPECT_NE(slurp(file).find("\"tcu_id\":\t\"9\""), std::string::npos);

    // Other ids never touch the switches.
    sys.set_input(406, 0);
    load(R"({"tcu_id": "-2"})");
    EXPECT_EQ(tcu_config.tcu_id, -2);
    load(R"({"tcu_id": "0"})");
    EXPECT_EQ(tcu_config.tcu_id, 0);
}

TEST_F(ConfigFile, KeysInAnotherOrderAndUnknownKeys) {
    load(R"({"modbus_hw": {"maxI_GUNB": "200", "maxI_GUNA": "250", "port": "502",
                           "enable_ssl": "1", "serverip": "192.168.1.10", "extra": "x"},
             "zqlog_port": "9000", "vendor": {"a": [1, 2]}, "zqlog_ip": "192.168.1.20",
             "ifname": "eth1", "ast_tty": "/dev/ttyS2", "enable_ocpp": "2",
             "enable_hmi": "0", "enable_modbus_hw": "1", "tcu_id": "3"})");
    expect_full(tcu_config);
}

TEST_F(ConfigFile, MissingKeysLeaveOnlyTheirFieldsEmpty) {
    load(R"({"tcu_id": "3", "enable_hmi": "1", "ast_tty": "/dev/ttyS2", "zqlog_port": "9000",
             "modbus_hw": {"serverip": "10.0.0.1", "maxI_GUNB": "200"}})");
    EXPECT_EQ(tcu_config.tcu_id, 3);
    EXPECT_EQ(tcu_config.enable_modbus_hw, 0);
    EXPECT_EQ(tcu_config.enable_hmi, 1);
    EXPECT_STREQ(tcu_config.ast_tty, "/dev/ttyS2");
    EXPECT_EQ(tcu_config.ifname, nullptr);
    EXPECT_EQ(tcu_config.zqlog_ip, nullptr);
    EXPECT_EQ(tcu_config.zqlog_port, 9000);
    EXPECT_STREQ(tcu_config.modbus_hw.serverip, "10.0.0.1");
    EXPECT_EQ(tcu_config.modbus_hw.port, nullptr);
    EXPECT_EQ(tcu_config.modbus_hw.maxI_GUNA, 0);
    EXPECT_EQ(tcu_config.modbus_hw.maxI_GUNB, 200);

    // Saved and loaded again: the same record, absent texts stay absent.
    tcu_config_exit();
    tcu_config_init(file.c_str());
    EXPECT_EQ(tcu_config.tcu_id, 3);
    EXPECT_EQ(tcu_config.ifname, nullptr);
    EXPECT_EQ(tcu_config.modbus_hw.port, nullptr);
    EXPECT_EQ(tcu_config.modbus_hw.maxI_GUNB, 200);

    load(R"({"ifname": "eth1", "zqlog_ip": "1.2.3.4"})");  // no "modbus_hw" at all
    EXPECT_STREQ(tcu_config.ifname, "eth1");
    EXPECT_STREQ(tcu_config.zqlog_ip, "1.2.3.4");
    EXPECT_EQ(tcu_config.modbus_hw.serverip, nullptr);
    EXPECT_EQ(tcu_config.modbus_hw.enable_ssl, 0);
}

TEST_F(ConfigFile, ValuesThatAreNotStrings) {
    const std::string text = R"({"tcu_id": 3, "enable_modbus_hw": "1", "enable_hmi": true,
        "enable_ocpp": "2", "ast_tty": null, "ifname": "eth1", "zqlog_ip": ["1.2.3.4"],
        "zqlog_port": "9000", "modbus_hw": {"serverip": "192.168.1.10", "port": 502,
        "enable_ssl": "1", "maxI_GUNA": {}, "maxI_GUNB": "200"}})";
    load(text);
    EXPECT_EQ(tcu_config.tcu_id, 0);
    EXPECT_EQ(tcu_config.enable_modbus_hw, 1);
    EXPECT_EQ(tcu_config.enable_hmi, 0);
    EXPECT_EQ(tcu_config.enable_ocpp, 2);
    EXPECT_EQ(tcu_config.ast_tty, nullptr);
    EXPECT_STREQ(tcu_config.ifname, "eth1");
    EXPECT_EQ(tcu_config.zqlog_ip, nullptr);
    EXPECT_EQ(tcu_config.zqlog_port, 9000);
    EXPECT_STREQ(tcu_config.modbus_hw.serverip, "192.168.1.10");
    EXPECT_EQ(tcu_config.modbus_hw.port, nullptr);
    EXPECT_EQ(tcu_config.modbus_hw.enable_ssl, 1);
    EXPECT_EQ(tcu_config.modbus_hw.maxI_GUNA, 0);
    EXPECT_EQ(tcu_config.modbus_hw.maxI_GUNB, 200);
    // Writing back would turn the operator's 3 and 502 into "0" and nothing.
    tcu_config_exit();
    tcu_config_save(file.c_str());
    EXPECT_EQ(slurp(file), text);

    load(R"({"tcu_id": "4", "modbus_hw": "192.168.1.10"})");
    EXPECT_EQ(tcu_config.tcu_id, 4);
    EXPECT_EQ(tcu_config.modbus_hw.serverip, nullptr);
}

TEST_F(ConfigFile, BrokenOrMissingFileIsNeverOverwritten) {
    const std::string broken = R"({"tcu_id": "3", "ifname": "eth1", )";
    for (const std::string &text :
         {broken, std::string(""), std::string("[\"tcu_id\", \"3\"]"), std::string("\"eth1\"")}) {
        SCOPED_TRACE(text);
        load(full_config);  // pointers from an earlier load must not leak into this one
        load(text);
        EXPECT_EQ(tcu_config.tcu_id, 0);
        EXPECT_EQ(tcu_config.ifname, nullptr);
        EXPECT_EQ(tcu_config.modbus_hw.serverip, nullptr);
        tcu_config_exit();
        tcu_config_save(file.c_str());
        EXPECT_EQ(slurp(file), text);
        EXPECT_FALSE(std::filesystem::exists(file + ".tmp"));
    }

    std::filesystem::remove(file);
    tcu_config_init(file.c_str());
    EXPECT_EQ(tcu_config.tcu_id, 0);
    tcu_config_exit();
    EXPECT_FALSE(std::filesystem::exists(file));

    // A directory where the file should be is unreadable too.
    std::filesystem::create_directories(file);
    tcu_config_init(file.c_str());
    EXPECT_EQ(tcu_config.ast_tty, nullptr);
    tcu_config_exit();
    EXPECT_TRUE(std::filesystem::is_directory(file));
}

TEST_F(ConfigFile, SaveThatCannotWriteKeepsTheOldFile) {
    load(full_config);
    std::string nowhere = sys.path("/no/such/dir/tcu_config.json");
    tcu_config_save(nowhere.c_str());
    EXPECT_FALSE(std::filesystem::exists(nowhere));
    EXPECT_FALSE(std::filesystem::exists(nowhere + ".tmp"));

    // The temporary file can't be renamed over a directory: the directory stays.
    std::string blocked = sys.path("/home/root/etc/blocked.json");
    std::filesystem::create_directories(blocked + "/inside");
    tcu_config_save(blocked.c_str());
    EXPECT_TRUE(std::filesystem::is_directory(blocked + "/inside"));
    EXPECT_FALSE(std::filesystem::exists(blocked + ".tmp"));

    // A symbolic link planted under the temporary name is not followed.
    std::string linked = sys.path("/home/root/etc/linked.json");
    std::string victim = sys.path("/home/root/etc/victim");
    std::ofstream(victim) << "untouched\n";
    std::filesystem::create_symlink(victim, linked + ".tmp");
    tcu_config_save(linked.c_str());
    EXPECT_EQ(slurp(victim), "untouched\n");
    EXPECT_FALSE(std::filesystem::exists(linked));
}

// The optional server name and TLS 1.2 cipher string are kept and written back only
// where the installer put them (the round trip above shows that a file without them
// stays without them).
TEST_F(ConfigFile, ServerNameIsWrittenBackWhenPresent) {
    std::string text = full_config;
    text.replace(text.find("\"maxI_GUNB\": \"200\""), 18,
                 "\"maxI_GUNB\": \"200\",\n        \"server_name\": \"pu-1.example\",\n"
                 "        \"tls_ciphers\": \"ECDHE+AESGCM\"");
    load(text);
    expect_full(tcu_config);
    ASSERT_NE(tcu_config.modbus_hw.server_name, nullptr);
    EXPECT_STREQ(tcu_config.modbus_hw.server_name, "pu-1.example");
    ASSERT_NE(tcu_config.modbus_hw.tls_ciphers, nullptr);
    EXPECT_STREQ(tcu_config.modbus_hw.tls_ciphers, "ECDHE+AESGCM");
    std::string copy = sys.path("/home/root/etc/copy.json");
    tcu_config_save(copy.c_str());
    EXPECT_NE(slurp(copy).find("\t\t\"server_name\":\t\"pu-1.example\",\n"
                               "\t\t\"tls_ciphers\":\t\"ECDHE+AESGCM\"\n\t}"),
              std::string::npos)
        << slurp(copy);
    tcu_config_init(copy.c_str());
    ASSERT_NE(tcu_config.modbus_hw.server_name, nullptr);
    EXPECT_STREQ(tcu_config.modbus_hw.server_name, "pu-1.example");
    ASSERT_NE(tcu_config.modbus_hw.tls_ciphers, nullptr);
    EXPECT_STREQ(tcu_config.modbus_hw.tls_ciphers, "ECDHE+AESGCM");
}

// A stray character after the object (a hand edit) still loads every setting, and
// the write-back then holds the clean object.
TEST(ConfigHandEdit, TextAfterTheObjectIsIgnored) {
    FakeSysfs sys;
    std::filesystem::create_directories(sys.path("/home/root/etc"));
    std::string file = sys.path("/home/root/etc/tcu_config.json");
    {
        std::ofstream out(file, std::ios::binary);
        out << R"({"tcu_id": "7", "enable_modbus_hw": "1", "enable_hmi": "0", "enable_ocpp": "0",
 "ast_tty": "/dev/ttyS2", "ifname": "eth1", "zqlog_ip": "10.0.0.9", "zqlog_port": "9000",
 "modbus_hw": {"serverip": "10.0.0.1", "port": "502", "enable_ssl": "0",
 "maxI_GUNA": "250", "maxI_GUNB": "200"}}x)";
    }
    tcu_config_init(file.c_str());
    EXPECT_EQ(tcu_config.tcu_id, 7);
    ASSERT_NE(tcu_config.ifname, nullptr);
    EXPECT_STREQ(tcu_config.ifname, "eth1");
    ASSERT_NE(tcu_config.modbus_hw.serverip, nullptr);
    EXPECT_STREQ(tcu_config.modbus_hw.serverip, "10.0.0.1");
    EXPECT_EQ(tcu_config.modbus_hw.maxI_GUNB, 200);
    tcu_config_exit();
    std::ifstream in(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.back(), '}');
    tcu_config_init(nullptr);
}
