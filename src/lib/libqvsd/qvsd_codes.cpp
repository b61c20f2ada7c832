#include "libqvsd/qvsd_codes.h"

const qvsd_cmd_desc *qvsd_cmd_find(uint8_t code)
{
  for (const qvsd_cmd_desc &d : qvsd_cmd_table)
    if (d.code == code)
      return &d;
  return nullptr;
}

const qvsd_ioctl_desc *qvsd_ioctl_find(uint8_t carrier, int32_t code)
{
  for (const qvsd_ioctl_desc &d : qvsd_ioctl_table)
    if (d.carrier == carrier && d.code == code)
      return &d;
  return nullptr;
}
