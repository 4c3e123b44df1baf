#include "paramutil/parameter_table.h"

#include <cstdio>

namespace kvx::paramutil {

const parameter_row parameter_table[] = {
    {1, 1, 1, "Connection Type", "Topology"},
    {2, 1, 1, "Link Speed", "LinkSpeed"},
    {3, 1, 0, "Max Transfer Size", "MaxTransfer"},
    {4, 1, 1, "Link Down Time", "LinkDown"},
    {5, 1, 1, "Reset Delay Time", "ResetDelay"},
    {6, 1, 1, "Machine Check Retry Count", "MckRecovery"},
    {7, 1, 1, "Preferred AL-PA Number", "PreferredALPA"},
    {8, 1, 1, "Queue Depth per LUN", "Qdp"},
    {9, 1, 1, "Scatter/Gather List Count", "Sgl"},
    {10, 1, 0, "MSCS Mode", "RstLun"},
    {99, 1, 1, "Return to Set HBA Parameters Menu", nullptr},
    {0, 0, 0, nullptr, nullptr},
};

const parameter_row* find_parameter(int number) {
  for (const parameter_row* row = parameter_table; row->number != 0; ++row) {
    if (row->number == number) return row;
  }
  return nullptr;
}

value_name parameter_value_name(scope where) {
  value_name name{};
  if (where.global()) {
    std::snprintf(name.text, sizeof name.text, "DriverParameter");
  } else {
    std::snprintf(name.text, sizeof name.text, "DriverParameter%d", where.adapter);
  }
  return name;
}

value_name adapter_value_name(int adapter) {
  value_name name{};
  std::snprintf(name.text, sizeof name.text, "Adapter%d", adapter);
  return name;
}

}  // namespace kvx::paramutil
