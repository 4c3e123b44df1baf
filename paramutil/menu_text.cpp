#include "paramutil/menu_text.h"

#include <cstdio>

#include "paramutil/console_input.h"
#include "paramutil/parameter_store.h"
#include "paramutil/parameter_table.h"

namespace kvx::paramutil {
namespace {

inline constexpr int site_print_kind = 10;
inline constexpr int banner_width = 60;

struct menu_text {
  int kind;
  const char* const* lines;  // ends with null
};

const char* const main_menu_lines[] = {"Main Menu\n",
                                       "---------\n",
                                       "  1. Display HBA Adapter Number\n",
                                       "  2. Modify HBA Adapter Number\n",
                                       "  3. Set HBA Parameters\n",
                                       "\n",
                                       " 99. Exit\n",
                                       nullptr};
const char* const set_parameters_lines[] = {"\n",
                                            "Set HBA Parameters:\n",
                                            "  1. Set Globaly for All Adapters\n",
                                            "  2. Set for Each Adapter\n",
                                            "\n",
                                            " 99. Cancel\n",
                                            nullptr};
const char* const modify_lines[] = {"\n",
                                    "Modify HBA Adapter Number:\n",
                                    "  1. Set HBA Adapter Number\n",
                                    "  2. Delete HBA Adapter Number\n",
                                    "\n",
                                    " 99. Cancel\n",
                                    nullptr};
const char* const connection_type_global[] = {
    "Connection Type:\n", "  0. Auto\n", "  1. Point to Point\n", "  2. FC-AL\n", "\n", " 99. Cancel\n", nullptr};
const char* const connection_type_adapter[] = {"Connection Type:\n",
                                               "  0. Auto\n",
                                               "  1. Point to Point\n",
                                               "  2. FC-AL\n",
                                               " 88. Not define Connection Type for the adapter.\n",
                                               "     (Set to the same connection type as Global Connection Type or "
                                               "default.\n",
                                               "\n",
                                               " 99. Cancel\n",
                                               nullptr};
const char* const link_speed_global[] = {"Link Speed:\n", "  0. Auto\n", "  1. 1 Gbps\n", "  2. 2 Gbps\n",
                                         "  4. 4 Gbps\n", "\n",          " 99. Cancel\n", nullptr};
const char* const link_speed_adapter[] = {"Link Speed:\n",
                                          "  0. Auto\n",
                                          "  1. 1 Gbps\n",
                                          "  2. 2 Gbps\n",
                                          "  4. 4 Gbps\n",
                                          " 88. Not define Link Speed for the adapter.\n",
                                          "     (Set to the same link speed as Global Link Speed or default.\n",
                                          "\n",
                                          " 99. Cancel\n",
                                          nullptr};
const char* const max_transfer_lines[] = {
    "Max Transfer Size:\n", "  1. 1 MB\n", "  4. 4 MB\n",   "  8. 8 MB\n", " 16. 16 MB\n",
    " 88. default\n",       "\n",          " 99. Cancel\n", nullptr};
const char* const mscs_lines[] = {"MSCS Mode:\n", "  0. Disable\n", "  1. Enable \n", "\n", " 99. Cancel\n", nullptr};

// Prompt-style dialogs: one prompt without a line end.
const char* const link_down_global[] = {"Link Down Time ( 0-60 or X to Cancel or Z to Default) => ", nullptr};
const char* const reset_delay_global[] = {"Reset Delay Time ( 0-60 or X to Cancel or Z to Default ) => ", nullptr};
const char* const machine_check_global[] = {"Machine Check Retry Count ( 0-10 or X to Cancel or Z to Default ) => ",
                                            nullptr};
const char* const alpa_global[] = {"Preferred AL-PA Number ( 0x01-0xef or X to Cancel or Z to Default ) => ", nullptr};
const char* const queue_depth_any[] = {"Queue Depth per LUN  ( 1-254 or X to Cancel or Z to Default ) => ", nullptr};
const char* const sg_list_any[] = {"Scatter/Gather List Count ( 16-255 or X to Cancel or Z to Default ) => ", nullptr};
const char* const link_down_adapter[] = {"Link Down Time ( 0-60, X to Cancel or Z to NotDefine) => ", nullptr};
const char* const reset_delay_adapter[] = {"Reset Delay Time ( 0-60, X to Cancel or Z to NotDefine) => ", nullptr};
const char* const machine_check_adapter[] = {"Machine Check Retry Count ( 0-10,r X to Cancel or Z to NotDefine) => ",
                                             nullptr};
const char* const alpa_adapter[] = {"Preferred AL-PA Number ( 0x01-0xef, X to Cancel or Z to NotDefine) => ", nullptr};

const menu_text menu_texts[] = {
    {kind_main_menu, main_menu_lines},
    {kind_set_parameters_menu, set_parameters_lines},
    {kind_modify_menu, modify_lines},
    {kind_value_global + param_connection_type, connection_type_global},
    {kind_value_adapter + param_connection_type, connection_type_adapter},
    {kind_value_global + param_link_speed, link_speed_global},
    {kind_value_adapter + param_link_speed, link_speed_adapter},
    {kind_value_global + param_max_transfer, max_transfer_lines},
    {kind_value_global + param_mscs_mode, mscs_lines},
    {kind_value_global + param_link_down, link_down_global},
    {kind_value_global + param_reset_delay, reset_delay_global},
    {kind_value_global + param_machine_check, machine_check_global},
    {kind_value_global + param_preferred_alpa, alpa_global},
    {kind_value_global + param_queue_depth, queue_depth_any},
    {kind_value_adapter + param_queue_depth, queue_depth_any},
    {kind_value_global + param_sg_list, sg_list_any},
    {kind_value_adapter + param_sg_list, sg_list_any},
    {kind_value_adapter + param_link_down, link_down_adapter},
    {kind_value_adapter + param_reset_delay, reset_delay_adapter},
    {kind_value_adapter + param_machine_check, machine_check_adapter},
    {kind_value_adapter + param_preferred_alpa, alpa_adapter},
};

void print_parameter_list(session& s, bool global) {
  std::fputs("\nHBA Parameters\n--------------\n", s.out);
  for (const parameter_row* row = parameter_table; row->number != 0; ++row) {
    if (row->number == return_row) std::fputs("\n", s.out);
    if ((global ? row->global_allowed : row->adapter_allowed) == 1) {
      std::fprintf(s.out, " %2d. %s\n", row->number, row->display_name);
    } else {
      std::fprintf(s.out, " %2d. -\n", row->number);
    }
  }
}

void print_padded(session& s, const char* text) { std::fprintf(s.out, "%-*.*s\n", banner_width, banner_width, text); }

}  // namespace

void print_banner(session& s) {
  char rule[banner_width + 1];
  for (int i = 0; i < banner_width; ++i) rule[i] = '-';
  rule[banner_width] = '\0';
  print_padded(s, rule);
  print_padded(s, " Velmora HBA Utility for Windows. Version 1.10 (07/27/2005)");
  print_padded(s, " Driver parameters of kvxwdd adapters, kept in the registry.");
  print_padded(s, rule);
}

void print_menu(session& s, int kind) {
  std::fputs("\n", s.out);
  if (kind == kind_parameter_list_global || kind == kind_parameter_list_adapter) {
    print_parameter_list(s, kind == kind_parameter_list_global);
    return;
  }
  for (const menu_text& menu : menu_texts) {
    if (menu.kind != kind) continue;
    for (const char* const* line = menu.lines; *line != nullptr; ++line) std::fputs(*line, s.out);
    return;
  }
  report_internal_error(s, site_print_kind, kind);
}

}  // namespace kvx::paramutil
