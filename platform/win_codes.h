// Numeric values of the Windows interfaces that the suite relies on, under
// names of our own so that they never clash with the macros of <windows.h>.
// Both backends speak these numbers at the seam: the Win32 backend passes
// them through unchanged, the simulated host reproduces them.
#pragma once

#include <cstdint>

namespace kvx::win {

// System error codes (GetLastError, registry results).
inline constexpr std::uint32_t error_success = 0;
inline constexpr std::uint32_t error_file_not_found = 2;
inline constexpr std::uint32_t error_path_not_found = 3;
inline constexpr std::uint32_t error_access_denied = 5;
inline constexpr std::uint32_t error_invalid_handle = 6;
inline constexpr std::uint32_t error_not_enough_memory = 8;
inline constexpr std::uint32_t error_invalid_data = 13;
inline constexpr std::uint32_t error_gen_failure = 31;
inline constexpr std::uint32_t error_sharing_violation = 32;
inline constexpr std::uint32_t error_handle_eof = 38;
inline constexpr std::uint32_t error_invalid_parameter = 87;
inline constexpr std::uint32_t error_insufficient_buffer = 122;
inline constexpr std::uint32_t error_busy = 170;
inline constexpr std::uint32_t error_already_exists = 183;
inline constexpr std::uint32_t error_more_data = 234;
inline constexpr std::uint32_t error_no_more_items = 259;
inline constexpr std::uint32_t error_no_token = 1008;
inline constexpr std::uint32_t error_registry_corrupt = 1015;
inline constexpr std::uint32_t error_key_deleted = 1018;
inline constexpr std::uint32_t error_service_does_not_exist = 1060;
inline constexpr std::uint32_t error_service_not_active = 1062;
inline constexpr std::uint32_t error_failed_service_controller_connect = 1063;
inline constexpr std::uint32_t error_service_exists = 1073;
inline constexpr std::uint32_t error_event_log_file_corrupt = 1500;
inline constexpr std::uint32_t error_event_log_file_changed = 1503;

// Registry value types.
inline constexpr std::uint32_t reg_none = 0;
inline constexpr std::uint32_t reg_sz = 1;
inline constexpr std::uint32_t reg_expand_sz = 2;
inline constexpr std::uint32_t reg_binary = 3;
inline constexpr std::uint32_t reg_dword = 4;
inline constexpr std::uint32_t reg_multi_sz = 7;
inline constexpr std::uint32_t reg_qword = 11;

// Registry access masks.
inline constexpr std::uint32_t key_query_value = 0x0001;
inline constexpr std::uint32_t key_set_value = 0x0002;
inline constexpr std::uint32_t key_create_sub_key = 0x0004;
inline constexpr std::uint32_t key_read = 0x20019;
inline constexpr std::uint32_t key_write = 0x20006;
inline constexpr std::uint32_t key_all_access = 0xF003F;

// ReadEventLogA flags.
inline constexpr std::uint32_t eventlog_sequential_read = 0x0001;
inline constexpr std::uint32_t eventlog_seek_read = 0x0002;
inline constexpr std::uint32_t eventlog_forwards_read = 0x0004;
inline constexpr std::uint32_t eventlog_backwards_read = 0x0008;

// Event types of ReportEventA.
inline constexpr std::uint16_t eventlog_success = 0x0000;
inline constexpr std::uint16_t eventlog_error_type = 0x0001;
inline constexpr std::uint16_t eventlog_warning_type = 0x0002;
inline constexpr std::uint16_t eventlog_information_type = 0x0004;

// WaitForSingleObject.
inline constexpr std::uint32_t infinite = 0xFFFFFFFF;
inline constexpr std::uint32_t wait_object_0 = 0;
inline constexpr std::uint32_t wait_timeout = 258;
inline constexpr std::uint32_t wait_failed = 0xFFFFFFFF;

}  // namespace kvx::win
