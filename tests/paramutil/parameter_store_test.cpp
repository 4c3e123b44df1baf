#include "paramutil/parameter_store.h"

#include <gtest/gtest.h>

#include <string>

#include "paramutil/parameter_table.h"
#include "tests/fakes/paramutil_console.h"
#include "tests/fakes/paramutil_fake_registry.h"

namespace kvx::paramutil {
namespace {

class ParameterStore : public ::testing::Test {
 protected:
  ParameterStore() { reg_.add_key(service_key_path); }

  std::string show(int parameter, scope where = {}) {
    test::paramutil_console console("");
    session s{reg_, console.in(), console.out(), {}};
    show_current_value(s, parameter, where);
    return console.output();
  }
  std::string set(int parameter, const std::string& typed, scope where = {}) {
    test::paramutil_console console("");
    session s{reg_, console.in(), console.out(), {}};
    set_parameter(s, parameter, where, typed);
    return console.output();
  }
  std::string clear(int parameter, scope where = {}) {
    test::paramutil_console console("");
    session s{reg_, console.in(), console.out(), {}};
    clear_parameter(s, parameter, where);
    return console.output();
  }
  std::string global_bytes() const { return reg_.bytes(device_key_path, "DriverParameter"); }

  test::paramutil_fake_registry reg_;
};

TEST_F(ParameterStore, SettingAppendsAndReplacingMovesTheEntryToTheEnd) {
  EXPECT_EQ(set(param_link_speed, "2"), "");
  EXPECT_TRUE(reg_.has_key(device_key_path)) << "the Device key is created on the first write";
  EXPECT_EQ(set(param_connection_type, "1"), "");
  EXPECT_EQ(global_bytes(), "LinkSpeed=2;Topology=1;") << "no terminating NUL is written";
  set(param_link_speed, "4");
  EXPECT_EQ(global_bytes(), "Topology=1;LinkSpeed=4;");
  set(param_link_down, "007");
  EXPECT_EQ(global_bytes(), "Topology=1;LinkSpeed=4;LinkDown=007;") << "stored as typed";
  EXPECT_EQ(reg_.find(device_key_path, "DriverParameter")->type, 1u);
  EXPECT_EQ(reg_.open_keys(), 0);
}

TEST_F(ParameterStore, AdapterScopeHasItsOwnString) {
  set(param_queue_depth, "32");
  set(param_queue_depth, "8", scope{3});
  EXPECT_EQ(global_bytes(), "Qdp=32;");
  EXPECT_EQ(reg_.bytes(device_key_path, "DriverParameter3"), "Qdp=8;");
  clear(param_queue_depth, scope{3});
  EXPECT_EQ(global_bytes(), "Qdp=32;");
}

TEST_F(ParameterStore, ClearingTheOnlyEntryLeavesOneNulByte) {
  set(param_mscs_mode, "1");
  EXPECT_EQ(global_bytes(), "RstLun=1;");
  clear(param_mscs_mode);
  EXPECT_EQ(global_bytes(), std::string(1, '\0'));
  EXPECT_EQ(show(param_mscs_mode), "\n\nCurrent MSCS Mode = It is not yet set.\n");
}

TEST_F(ParameterStore, ClearingWithoutAValueCreatesItEmpty) {
  reg_.add_key(device_key_path);
  clear(param_link_down, scope{5});
  EXPECT_EQ(reg_.bytes(device_key_path, "DriverParameter5"), std::string(1, '\0'));
}

TEST_F(ParameterStore, ClearingWithoutTheDeviceKeyWritesNothing) {
  EXPECT_EQ(clear(param_link_down), "");
  EXPECT_EQ(reg_.writes(), 0);
  EXPECT_FALSE(reg_.has_key(device_key_path));
}

TEST_F(ParameterStore, WithoutAccessToTheServiceKeyEveryWriteIsRefused) {
  test::paramutil_fake_registry bare;
  bare.put_text(device_key_path, "DriverParameter", "Qdp=4;");
  bare.deny_open(service_key_path);
  for (bool clearing : {false, true}) {
    test::paramutil_console console("");
    session s{bare, console.in(), console.out(), {}};
    if (clearing) {
      clear_parameter(s, param_queue_depth, {});
    } else {
      set_parameter(s, param_queue_depth, {}, "9");
    }
    EXPECT_EQ(console.output(), "\n<error> Device Driver kvxwdd is not installed.\n");
  }
  EXPECT_EQ(bare.writes(), 0);
  EXPECT_EQ(bare.bytes(device_key_path, "DriverParameter"), "Qdp=4;");
}

TEST_F(ParameterStore, ShowsEachKindOfValue) {
  reg_.put_text(device_key_path, "DriverParameter",
                "PreferredALPA=0x1f;LinkDown=007;Topology=2;LinkSpeed=4;MaxTransfer=16;RstLun=0;Sgl=200;");
  EXPECT_EQ(show(param_preferred_alpa), "\n\nCurrent Preferred AL-PA Number = 0x1f\n");
  EXPECT_EQ(show(param_link_down), "\n\nCurrent Link Down Time = 7\n");
  EXPECT_EQ(show(param_connection_type), "\n\nCurrent Connection Type = FC-AL\n");
  EXPECT_EQ(show(param_link_speed), "\n\nCurrent Link Speed = 4 Gbps\n");
  EXPECT_EQ(show(param_max_transfer), "\n\nCurrent Max Transfer Size = 16 MB\n");
  EXPECT_EQ(show(param_mscs_mode), "\n\nCurrent MSCS Mode = Disable\n");
  EXPECT_EQ(show(param_sg_list), "\n\nCurrent Scatter/Gather List Count = 200\n");
  EXPECT_EQ(show(param_queue_depth), "\n\nCurrent Queue Depth per LUN = It is not yet set.\n");
  reg_.put_text(device_key_path, "DriverParameter", "RstLun=1;PreferredALPA=ef;");
  EXPECT_EQ(show(param_mscs_mode), "\n\nCurrent MSCS Mode = Enable \n");
  EXPECT_EQ(show(param_preferred_alpa), "\n\nCurrent Preferred AL-PA Number = 0xef\n");
  EXPECT_EQ(reg_.writes(), 0);
  EXPECT_EQ(reg_.open_keys(), 0);
}

TEST_F(ParameterStore, AdapterMessagesAndTheMachineCheckBlank) {
  reg_.put_text(device_key_path, "DriverParameter3", "MckRecovery=5;LinkSpeed=0;");
  EXPECT_EQ(show(param_machine_check, scope{3}), "\n\n Adapter 3 Current Machine Check Retry Count = 5\n");
  EXPECT_EQ(show(param_link_speed, scope{3}), "\n\nAdapter 3 Current Link Speed = Auto\n");
  EXPECT_EQ(show(param_machine_check, scope{4}),
            "\n\nAdapter 4 Current Machine Check Retry Count = It is not yet set.\n");
  EXPECT_EQ(show(param_machine_check), "\n\nCurrent Machine Check Retry Count = It is not yet set.\n");
}

TEST_F(ParameterStore, MalformedOrMinusOneEntriesAreNotSet) {
  for (const char* text : {"LinkDown;Qdp=5;", "LinkDown=abc;", "LinkDown=-1;", "LinkDown=99999999999;", "LinkDown"}) {
    reg_.put_text(device_key_path, "DriverParameter", text);
    EXPECT_EQ(show(param_link_down), "\n\nCurrent Link Down Time = It is not yet set.\n") << text;
  }
  reg_.put_text(device_key_path, "DriverParameter", "LinkDown=-7;");
  EXPECT_EQ(show(param_link_down), "\n\nCurrent Link Down Time = -7\n") << "numbers are shown whatever they are";
  reg_.put_text(device_key_path, "DriverParameter", "LinkDown=12");
  EXPECT_EQ(show(param_link_down), "\n\nCurrent Link Down Time = 12\n") << "a missing ; still ends the entry";
  set(param_link_down, "3");
  EXPECT_EQ(global_bytes(), "LinkDown=3;") << "replacing a malformed entry leaves no fragment";
}

TEST_F(ParameterStore, StringsPastTheOldBuffersAreKeptWhole) {
  // 600 characters before the entry and 300 after it: nothing may be cut or lost.
  const std::string before = "X" + std::string(598, 'a') + ";";
  const std::string after = "Y" + std::string(298, 'b') + ";";
  reg_.put_text(device_key_path, "DriverParameter", before + "Qdp=5;" + after);
  EXPECT_EQ(show(param_queue_depth), "\n\nCurrent Queue Depth per LUN = 5\n");
  set(param_queue_depth, "9");
  EXPECT_EQ(global_bytes(), before + after + "Qdp=9;");
  clear(param_queue_depth);
  EXPECT_EQ(global_bytes(), before + after);
}

TEST_F(ParameterStore, ValuesStoredWithATerminatorEndThere) {
  reg_.put_text(device_key_path, "DriverParameter", std::string("Qdp=5;\0Sgl=20;", 14));
  EXPECT_EQ(show(param_sg_list), "\n\nCurrent Scatter/Gather List Count = It is not yet set.\n");
  set(param_link_down, "1");
  EXPECT_EQ(global_bytes(), "Qdp=5;LinkDown=1;");
}

TEST_F(ParameterStore, GlobalOnlyParametersAreNeverWrittenPerAdapter) {
  reg_.add_key(device_key_path);
  set(param_max_transfer, "4", scope{2});
  set(param_mscs_mode, "1", scope{2});
  clear(param_mscs_mode, scope{2});
  EXPECT_EQ(reg_.find(device_key_path, "DriverParameter2"), nullptr);
}

using ParameterStoreDeathTest = ParameterStore;

TEST_F(ParameterStoreDeathTest, UnknownStoredValuesEndTheProgram) {
  auto show_to_stderr = [this](int parameter) {
    session s{reg_, stdin, stderr, {}};
    show_current_value(s, parameter, {});
  };
  reg_.put_text(device_key_path, "DriverParameter", "Topology=5;LinkSpeed=3;MaxTransfer=2;");
  EXPECT_EXIT(show_to_stderr(param_connection_type), ::testing::ExitedWithCode(255),
              "^\n\n<error> internal error\\. \\( 12 : 5 \\)\n$");
  EXPECT_EXIT(show_to_stderr(param_link_speed), ::testing::ExitedWithCode(255), "\\( 13 : 3 \\)");
  EXPECT_EXIT(show_to_stderr(param_max_transfer), ::testing::ExitedWithCode(255), "\\( 14 : 2 \\)");
  EXPECT_EXIT(show_to_stderr(11), ::testing::ExitedWithCode(255), "\\( 18 : 11 \\)");
  reg_.put_text(device_key_path, "DriverParameter", "Topology=-3;");
  EXPECT_EXIT(show_to_stderr(param_connection_type), ::testing::ExitedWithCode(255), "\\( 12 : -3 \\)");
}

}  // namespace
}  // namespace kvx::paramutil
