#include "paramutil/adapter_numbers.h"

#include <gtest/gtest.h>

#include <string>

#include "paramutil/parameter_table.h"
#include "tests/fakes/paramutil_console.h"
#include "tests/fakes/paramutil_fake_registry.h"

namespace kvx::paramutil {
namespace {

TEST(FoldWwpn, FoldsUpperCaseAndRefusesAnythingElse) {
  char out[17];
  ASSERT_TRUE(fold_wwpn("500008A00030014E", out));
  EXPECT_STREQ(out, "500008a00030014e");
  EXPECT_TRUE(fold_wwpn("0123456789abcdef", out));
  EXPECT_FALSE(fold_wwpn("500008a00030014", out)) << "15 characters";
  EXPECT_FALSE(fold_wwpn("500008a00030014e0", out)) << "17 characters";
  EXPECT_FALSE(fold_wwpn("500008a0003G014e", out));
  EXPECT_FALSE(fold_wwpn("500008a0003g014e", out));
  EXPECT_FALSE(fold_wwpn("500008a0003 014e", out));
  EXPECT_FALSE(fold_wwpn("", out));
}

class AdapterNumbers : public ::testing::Test {
 protected:
  AdapterNumbers() : console_(""), s_{reg_, console_.in(), console_.out(), {}} { reg_.add_key(service_key_path); }
  test::paramutil_fake_registry reg_;
  test::paramutil_console console_;
  session s_;
};

TEST_F(AdapterNumbers, ListShowsMappedNumbersInOrderAsStored) {
  reg_.put_text(device_key_path, "Adapter12", "20000000c9a1b2c3");
  reg_.put_text(device_key_path, "Adapter3", "500008a00030014e");
  reg_.put_text(device_key_path, "Adapter31", std::string("abc\0def", 7));
  reg_.put_text(device_key_path, "Adapter32", "not a number we visit");
  list_adapter_numbers(s_);
  EXPECT_EQ(console_.output(),
            " Adapter Number - World Wide Port Name\n"
            "        3       -  500008a00030014e\n"
            "       12       -  20000000c9a1b2c3\n"
            "       31       -  abc\n");
  EXPECT_EQ(reg_.open_keys(), 0);
}

TEST_F(AdapterNumbers, ListWithoutTheDeviceKeyIsOnlyTheHeader) {
  list_adapter_numbers(s_);
  EXPECT_EQ(console_.output(), " Adapter Number - World Wide Port Name\n");
  EXPECT_FALSE(adapter_number_exists(s_, 0));
}

TEST_F(AdapterNumbers, UniquenessSkipsTheNumberItself) {
  reg_.put_text(device_key_path, "Adapter5", "500008a00030014e");
  EXPECT_TRUE(wwpn_in_use(s_, 3, "500008a00030014e"));
  EXPECT_FALSE(wwpn_in_use(s_, 5, "500008a00030014e"));
  EXPECT_FALSE(wwpn_in_use(s_, 3, "500008A00030014E")) << "byte for byte";
  EXPECT_TRUE(adapter_number_exists(s_, 5));
  EXPECT_FALSE(adapter_number_exists(s_, 3));
}

TEST_F(AdapterNumbers, SetWritesSixteenBytesAndDeleteTakesTheParametersToo) {
  set_adapter_number(s_, 3, "500008a00030014e");
  EXPECT_EQ(reg_.bytes(device_key_path, "Adapter3"), "500008a00030014e");
  reg_.put_text(device_key_path, "DriverParameter3", "Qdp=4;");
  reg_.put_text(device_key_path, "DriverParameter4", "Qdp=5;");
  delete_adapter_number(s_, 3);
  EXPECT_EQ(reg_.find(device_key_path, "Adapter3"), nullptr);
  EXPECT_EQ(reg_.find(device_key_path, "DriverParameter3"), nullptr);
  EXPECT_EQ(reg_.bytes(device_key_path, "DriverParameter4"), "Qdp=5;");
  EXPECT_EQ(console_.output(), "");
}

TEST(AdapterNumbersNoDriver, SetIsRefusedAndDeleteStillWorks) {
  test::paramutil_fake_registry reg;
  reg.put_text(device_key_path, "Adapter1", "500008a00030014e");
  reg.deny_open(service_key_path);
  test::paramutil_console console("");
  session s{reg, console.in(), console.out(), {}};
  set_adapter_number(s, 2, "500008a00030014f");
  EXPECT_EQ(console.output(), "\n<error> Device Driver kvxwdd is not installed.\n");
  EXPECT_EQ(reg.find(device_key_path, "Adapter2"), nullptr);
  delete_adapter_number(s, 1);
  EXPECT_EQ(reg.find(device_key_path, "Adapter1"), nullptr) << "deleting makes no driver test";
}

}  // namespace
}  // namespace kvx::paramutil
