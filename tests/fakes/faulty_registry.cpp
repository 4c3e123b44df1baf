#include "tests/fakes/faulty_registry.h"

#include "platform/host.h"
#include "platform/win_codes.h"

namespace kvx::test {
namespace {

class faulty_key final : public platform::registry_key {
 public:
  faulty_key(platform::unique_reg_key inner, faulty_registry& owner) : inner_(std::move(inner)), owner_(owner) {}
  ~faulty_key() override { ++owner_.keys_closed; }

  std::uint32_t query_value(const char* name, std::uint32_t* type, std::uint8_t* data, std::uint32_t* size) override {
    if (data != nullptr && name != nullptr && owner_.fail_data_query_of == name) return owner_.data_query_error;
    return inner_->query_value(name, type, data, size);
  }
  std::uint32_t set_value(const char* name, std::uint32_t type, const std::uint8_t* data, std::uint32_t size) override {
    return inner_->set_value(name, type, data, size);
  }
  std::uint32_t delete_value(const char* name) override { return inner_->delete_value(name); }
  std::uint32_t close() override {
    const std::uint32_t rc = inner_->close();
    return owner_.fail_close ? win::error_invalid_handle : rc;
  }

 private:
  platform::unique_reg_key inner_;
  faulty_registry& owner_;
};

}  // namespace

std::uint32_t faulty_registry::hand_out(std::uint32_t result, platform::unique_reg_key inner,
                                        platform::unique_reg_key& out) {
  if (result == win::error_success) {
    ++keys_opened;
    out = std::make_unique<faulty_key>(std::move(inner), *this);
  }
  return result;
}

std::uint32_t faulty_registry::open_key(platform::hive_root root, const char* subkey, std::uint32_t access,
                                        platform::unique_reg_key& out) {
  if (is_denied(subkey)) return win::error_access_denied;
  platform::unique_reg_key inner;
  const std::uint32_t rc = platform::backend_registry().open_key(root, subkey, access, inner);
  return hand_out(rc, std::move(inner), out);
}

std::uint32_t faulty_registry::create_key(platform::hive_root root, const char* subkey, std::uint32_t access,
                                          platform::unique_reg_key& out, bool* created) {
  if (is_denied(subkey)) return win::error_access_denied;
  platform::unique_reg_key inner;
  const std::uint32_t rc = platform::backend_registry().create_key(root, subkey, access, inner, created);
  return hand_out(rc, std::move(inner), out);
}

std::uint32_t faulty_registry::delete_key(platform::hive_root root, const char* subkey) {
  return platform::backend_registry().delete_key(root, subkey);
}

}  // namespace kvx::test
