// Control requests of kvxsim: their words, and what inject and fill do to an
// adapter and to the System log.
#include "simulator/control.h"

#include <gtest/gtest.h>

#include <vector>

#include "adapter/byte_order.h"
#include "platform/registry.h"
#include "platform/sim/event_log_file.h"
#include "platform/win_codes.h"
#include "simulator/error_record.h"
#include "tests/fakes/temp_host.h"

namespace kvx::simulator {
namespace {

using words = std::vector<std::string>;

control_command parse_ok(const words& w) {
  control_command c;
  std::string error;
  EXPECT_EQ(parse_control(w, c, error), 0) << error;
  return c;
}

std::string parse_error(const words& w) {
  control_command c;
  std::string error;
  EXPECT_EQ(parse_control(w, c, error), 1);
  return error;
}

TEST(ControlWords, GoodRequests) {
  control_command c = parse_ok({"inject", "--port", "2", "--error=5", "--slot", "3", "--status", "0xC0000000", "--data",
                                "0a:0B 0c", "--key-offset", "44", "--event-id", "0xC0040001"});
  EXPECT_EQ(c.verb, control_verb::inject);
  EXPECT_EQ(c.port, 2);
  EXPECT_EQ(c.error, 5);
  EXPECT_EQ(c.slot, 3);
  EXPECT_EQ(c.status_word, 0xC0000000u);
  EXPECT_EQ(c.data, (std::vector<std::uint8_t>{0x0A, 0x0B, 0x0C}));
  EXPECT_EQ(c.key_offset, 44);
  EXPECT_EQ(c.event_id, 0xC0040001u);
  EXPECT_TRUE(c.fill);
  EXPECT_FALSE(parse_ok({"inject", "--port", "2", "--error", "0", "--slot", "0", "--no-fill"}).fill);
  EXPECT_EQ(parse_ok({"busy", "--port", "127", "--count", "0"}).count, 0u);
  EXPECT_EQ(parse_ok({"status"}).verb, control_verb::status);
  EXPECT_EQ(parse_ok({"unplug", "--port=9"}).port, 9);
}

TEST(ControlWords, BadRequestsSayWhy) {
  EXPECT_EQ(parse_error({}), "no command given");
  EXPECT_EQ(parse_error({"run"}), "unknown command 'run'");
  EXPECT_EQ(parse_error({"inject", "--error", "1", "--slot", "1"}), "inject needs --port");
  EXPECT_EQ(parse_error({"inject", "--port", "1", "--slot", "1"}), "inject needs --error");
  EXPECT_EQ(parse_error({"inject", "--port", "1", "--error", "1"}), "inject needs --slot");
  EXPECT_EQ(parse_error({"fill", "--port", "1", "--slot", "16"}), "--slot takes a slot number from 0 to 15");
  EXPECT_EQ(parse_error({"fill", "--port", "128", "--slot", "1"}), "--port takes a port number from 0 to 127");
  EXPECT_EQ(parse_error({"inject", "--port", "1", "--error", "256", "--slot", "1"}),
            "--error takes an error number from 0 to 255");
  EXPECT_EQ(parse_error({"fill", "--port", "1", "--slot", "1", "--data", "abc"}).rfind("--data takes", 0), 0u);
  EXPECT_EQ(parse_error({"fill", "--port", "1", "--slot", "1", "--data", std::string(2050, 'a')}).rfind("--data", 0),
            0u);
  EXPECT_EQ(parse_error({"inject", "--port", "1", "--error", "1", "--slot", "1", "--no-fill", "--data", "00"}),
            "--data fills the slot; it cannot go with --no-fill");
  EXPECT_EQ(parse_error({"busy", "--port", "1"}), "busy needs --count");
  EXPECT_EQ(parse_error({"status", "--port", "1"}), "status takes no option --port");
  EXPECT_EQ(parse_error({"plug", "2"}), "unexpected argument '2'");
  EXPECT_EQ(parse_error({"plug", "--port"}), "--port needs a value");
  EXPECT_EQ(parse_error({"unplug", "--port", "1", "--slot", "1"}), "unplug takes no option --slot");
  EXPECT_EQ(parse_error({"inject", "--port", "1", "--error", "1", "--slot", "1", "--key-offset", "70000"})
                .rfind("--key-offset takes", 0),
            0u);
}

TEST(ControlWords, WireEncodingRoundTripsAndRejectsGarbage) {
  const words w{"inject", "", "--data", std::string("a\0b", 3)};
  const auto bytes = encode_words(w);
  words back;
  ASSERT_TRUE(decode_words(bytes, back));
  EXPECT_EQ(back, w);

  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    EXPECT_FALSE(decode_words(std::span<const std::uint8_t>(bytes).first(cut), back)) << cut;
  }
  auto longer = bytes;
  longer.push_back(0);
  EXPECT_FALSE(decode_words(longer, back));
  std::vector<std::uint8_t> huge_count{0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_FALSE(decode_words(huge_count, back));
}

class Inject : public ::testing::Test {
 protected:
  test::temp_host host;
  adapter_state adapter;

  void SetUp() override {
    adapter.config.port = 2;
    adapter.config.pci_location = 0x0000020A;
    adapter.config.device_object = "\\Device\\KvxPort2";
  }

  std::vector<sim::event_record> system_log() {
    std::vector<sim::event_record> records;
    EXPECT_EQ(sim::read_event_log("System", records), 0);
    return records;
  }

  void set_unique_id_position(std::uint32_t value) {
    platform::unique_reg_key key;
    ASSERT_EQ(
        platform::host_registry().create_key(platform::hive_root::local_machine, "SOFTWARE\\Velmora\\kvxwdd\\hbalogd",
                                             win::key_all_access, key, nullptr),
        win::error_success);
    std::uint8_t bytes[4];
    adapter::put_u32_le(bytes, 0, value);
    ASSERT_EQ(key->set_value("unique_id_position", win::reg_dword, bytes, 4), win::error_success);
  }
};

TEST_F(Inject, FillsTheSlotThenWritesTheDriversRecord) {
  const control_command c =
      parse_ok({"inject", "--port", "2", "--error", "5", "--slot", "3", "--status", "0x40000001"});
  const control_reply r = inject_error(adapter, c);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "System record 1\n");
  EXPECT_EQ(adapter.occupied, 1u << 3);
  EXPECT_EQ(adapter.slots[3], default_detail_data(5, 3));

  const auto records = system_log();
  ASSERT_EQ(records.size(), 1u);
  const sim::event_record& rec = records[0];
  EXPECT_EQ(rec.source_name, "kvxwdd");
  EXPECT_EQ(rec.event_id, 0xC0070005u);
  EXPECT_EQ((rec.event_id >> 16) & 0xFFF, 7u);
  EXPECT_EQ(rec.event_type, win::eventlog_error_type);
  EXPECT_EQ(rec.strings, (std::vector<std::string>{"\\Device\\KvxPort2"}));
  ASSERT_EQ(rec.data.size(), 104u);
  EXPECT_EQ(adapter::get_u32_le(rec.data, 16), 0x40000001u);
  EXPECT_EQ(adapter::get_u32_le(rec.data, 12), 0xC0070005u);
  EXPECT_EQ(rec.data[40], 0x05);
  EXPECT_EQ(rec.data[41], 0x03);
  EXPECT_EQ(rec.data[42], 0x02);
  EXPECT_EQ(rec.data[43], 0x0A);
}

TEST_F(Inject, KeyOffsetFromTheRegistryOrTheOption) {
  set_unique_id_position(44);
  ASSERT_EQ(inject_error(adapter, parse_ok({"inject", "--port", "2", "--error", "1", "--slot", "0"})).status, 0);
  set_unique_id_position(200);
  ASSERT_EQ(inject_error(adapter, parse_ok({"inject", "--port", "2", "--error", "1", "--slot", "1"})).status, 0);
  ASSERT_EQ(inject_error(adapter, parse_ok({"inject", "--port", "2", "--error", "1", "--slot", "2", "--key-offset",
                                            "40", "--event-id", "0xC0040009", "--data", "ff"}))
                .status,
            0);
  const auto records = system_log();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].data.size(), 104u);
  EXPECT_EQ(adapter::get_u32_be(records[0].data, 44), 0x0100020Au);
  EXPECT_EQ(adapter::get_u32_be(records[0].data, 40), 0u);
  EXPECT_EQ(records[1].data.size(), 204u);
  EXPECT_EQ(adapter::get_u32_be(records[1].data, 200), 0x0101020Au);
  EXPECT_EQ(adapter::get_u32_be(records[2].data, 40), 0x0102020Au);
  EXPECT_EQ(records[2].event_id, 0xC0040009u);
  EXPECT_EQ(adapter.slots[2][0], 0xFF);
  EXPECT_EQ(adapter.slots[2][1], 0x00);
}

TEST_F(Inject, BadKeyOffsetAndNoFill) {
  set_unique_id_position(0xFFFFFFFC);  // -4 as hbalogd reads it
  const control_reply bad = inject_error(adapter, parse_ok({"inject", "--port", "2", "--error", "1", "--slot", "0"}));
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err, "kvxsim: unique_id_position -4 cannot hold an event key; give --key-offset\n");
  EXPECT_EQ(adapter.occupied, 0u);
  EXPECT_TRUE(system_log().empty());

  const control_reply r = inject_error(
      adapter, parse_ok({"inject", "--port", "2", "--error", "1", "--slot", "4", "--no-fill", "--key-offset", "40"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(adapter.occupied, 0u) << "the record names a slot that holds nothing";
  EXPECT_EQ(system_log().size(), 1u);
}

TEST_F(Inject, FillWithoutRecordAndStatusLine) {
  EXPECT_EQ(fill_detail_slot(adapter, parse_ok({"fill", "--port", "2", "--slot", "15"})).status, 0);
  EXPECT_EQ(fill_detail_slot(adapter, parse_ok({"fill", "--port", "2", "--slot", "0", "--data", "01"})).status, 0);
  EXPECT_TRUE(system_log().empty());
  adapter.busy_left = 3;
  adapter.exchanges = 12;
  EXPECT_EQ(status_line(adapter, 1, 0),
            "port 2: location 020a, plugged, open handles: 1 shared, 0 exclusive, busy answers left: 3, exchanges: 12, "
            "occupied slots: 0 15\n");
  adapter.occupied = 0;
  adapter.plugged = false;
  EXPECT_NE(status_line(adapter, 0, 0).find("unplugged, "), std::string::npos);
  EXPECT_NE(status_line(adapter, 0, 0).find("occupied slots: none\n"), std::string::npos);
}

TEST(ErrorRecord, PacketLayout) {
  const auto data = error_packet_data(0xC0070011, 0xC0000000, 0x11220304, 40);
  ASSERT_EQ(data.size(), 104u);
  EXPECT_EQ(adapter::get_le(data, 2, 2), 64u);
  EXPECT_EQ(adapter::get_u32_le(data, 12), 0xC0070011u);
  EXPECT_EQ(adapter::get_u32_le(data, 16), 0xC0000000u);
  EXPECT_EQ(adapter::get_u32_be(data, 40), 0x11220304u);
  EXPECT_EQ(event_key(5, 3, 0xFFFF020A), 0x0503020Au);
  EXPECT_EQ(error_packet_data(0, 0, 1, 0).size(), 104u);
  EXPECT_EQ(error_packet_data(0, 0, 1, 101).size(), 105u);
}

}  // namespace
}  // namespace kvx::simulator
