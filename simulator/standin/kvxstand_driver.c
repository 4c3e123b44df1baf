/* kvxstand.sys: a stand-in for the kvxwdd miniport under Wine, test
 * equipment only. It serves \\.\scsiN: devices (N from 0 to 127) and answers
 * the control packets with replies that the kvxstand tool prepared from the
 * driver simulator's adapter model; itself it keeps only what changes while
 * requests run: the detail-data slots, the busy count, who has the device
 * open, and whether it is plugged in.
 *
 * Wine delivers every request of a driver on one thread, so nothing here
 * waits and the state needs no lock. */
#include <ntddk.h>

#include "simulator/standin/standin_protocol.h"

#define PORT_IOCTL 0x0004D008u /* IOCTL_SCSI_MINIPORT */
#define OPEN_SHARED 1u
#define OPEN_EXCLUSIVE 2u
#define OPEN_REFUSED 3u

struct answer_entry {
  BOOLEAN in_use;
  struct kvxstand_answer answer;
};

struct port_state {
  ULONG number;
  ULONG location;
  BOOLEAN plugged;
  ULONG generation; /* bumped by every unplug: older handles are gone */
  ULONG shared;
  ULONG exclusive;
  ULONG refused_opens;
  ULONG busy_left;
  ULONGLONG exchanges;
  USHORT occupied; /* bit k: slot k */
  UCHAR slots[KVXSTAND_SLOT_COUNT][KVXSTAND_SLOT_SIZE];
  struct answer_entry answers[KVXSTAND_MAX_ANSWERS];
  WCHAR link_text[24];
  UNICODE_STRING link;
  WCHAR name_text[KVXSTAND_MAX_NAME];
  UNICODE_STRING name;
};

static PDEVICE_OBJECT control_device;
static PDEVICE_OBJECT port_devices[KVXSTAND_MAX_PORTS];

static struct port_state* state_of(ULONG port) {
  if (port >= KVXSTAND_MAX_PORTS || port_devices[port] == NULL) return NULL;
  return (struct port_state*)port_devices[port]->DeviceExtension;
}

static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

/* "\DosDevices\scsiN:" */
static void make_link_name(struct port_state* p) {
  static const WCHAR prefix[] = L"\\DosDevices\\scsi";
  WCHAR digits[4];
  ULONG n = p->number, count = 0, at = 0, i;
  do {
    digits[count++] = (WCHAR)(L'0' + n % 10);
    n /= 10;
  } while (n != 0);
  for (i = 0; prefix[i] != 0; ++i) p->link_text[at++] = prefix[i];
  while (count > 0) p->link_text[at++] = digits[--count];
  p->link_text[at++] = L':';
  p->link_text[at] = 0;
  RtlInitUnicodeString(&p->link, p->link_text);
}

static void remove_port(ULONG port) {
  struct port_state* p = state_of(port);
  if (p == NULL) return;
  if (p->plugged) IoDeleteSymbolicLink(&p->link);
  IoDeleteDevice(port_devices[port]);
  port_devices[port] = NULL;
}

static NTSTATUS add_port(PDRIVER_OBJECT driver, const struct kvxstand_port_setup* setup) {
  UNICODE_STRING name;
  PDEVICE_OBJECT device = NULL;
  struct port_state* p;
  NTSTATUS status;
  if (setup->port >= KVXSTAND_MAX_PORTS || setup->device_name[KVXSTAND_MAX_NAME - 1] != 0) {
    return STATUS_INVALID_PARAMETER;
  }
  remove_port(setup->port);
  RtlInitUnicodeString(&name, (PCWSTR)setup->device_name);
  status = IoCreateDevice(driver, sizeof(struct port_state), &name, FILE_DEVICE_CONTROLLER, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  p = (struct port_state*)device->DeviceExtension;
  RtlZeroMemory(p, sizeof *p);
  p->number = setup->port;
  p->location = setup->location;
  RtlCopyMemory(p->name_text, setup->device_name, sizeof p->name_text);
  RtlInitUnicodeString(&p->name, p->name_text);
  make_link_name(p);
  status = IoCreateSymbolicLink(&p->link, &p->name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  p->plugged = TRUE;
  port_devices[setup->port] = device;
  return STATUS_SUCCESS;
}

static NTSTATUS plug(struct port_state* p, BOOLEAN plugged) {
  NTSTATUS status = STATUS_SUCCESS;
  if (p->plugged == plugged) return STATUS_SUCCESS;
  if (plugged) {
    status = IoCreateSymbolicLink(&p->link, &p->name);
  } else {
    IoDeleteSymbolicLink(&p->link);
    /* Open handles lose their device: their next request fails. */
    ++p->generation;
    p->shared = 0;
    p->exclusive = 0;
  }
  if (NT_SUCCESS(status)) p->plugged = plugged;
  return status;
}

static NTSTATUS set_answer(struct port_state* p, const struct kvxstand_answer* a) {
  ULONG i, free_entry = KVXSTAND_MAX_ANSWERS;
  if (a->match_length > KVXSTAND_MATCH_SIZE || a->match_length > a->packet_size ||
      a->overlay_length > KVXSTAND_MAX_OVERLAY || a->overlay_offset > a->packet_size ||
      a->overlay_length > a->packet_size - a->overlay_offset) {
    return STATUS_INVALID_PARAMETER;
  }
  for (i = 0; i < KVXSTAND_MAX_ANSWERS; ++i) {
    struct answer_entry* e = &p->answers[i];
    if (!e->in_use) {
      if (free_entry == KVXSTAND_MAX_ANSWERS) free_entry = i;
      continue;
    }
    if (e->answer.packet_size == a->packet_size && e->answer.match_length == a->match_length &&
        RtlCompareMemory(e->answer.match, a->match, a->match_length) == a->match_length) {
      free_entry = i;
      break;
    }
  }
  if (free_entry == KVXSTAND_MAX_ANSWERS) return STATUS_INSUFFICIENT_RESOURCES;
  p->answers[free_entry].answer = *a;
  p->answers[free_entry].in_use = TRUE;
  return STATUS_SUCCESS;
}

static NTSTATUS control_request(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  void* buffer = irp->AssociatedIrp.SystemBuffer;
  ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const struct kvxstand_port_value* value = (const struct kvxstand_port_value*)buffer;
  struct port_state* p;
  ULONG i;

  switch (code) {
    case KVXSTAND_ADD_PORT:
      if (in < sizeof(struct kvxstand_port_setup)) break;
      return complete(irp, add_port(device->DriverObject, (const struct kvxstand_port_setup*)buffer), 0);
    case KVXSTAND_REMOVE_ALL:
      for (i = 0; i < KVXSTAND_MAX_PORTS; ++i) remove_port(i);
      return complete(irp, STATUS_SUCCESS, 0);
    case KVXSTAND_SET_ANSWER:
      if (in < sizeof(struct kvxstand_answer)) break;
      p = state_of(((const struct kvxstand_answer*)buffer)->port);
      if (p == NULL) return complete(irp, STATUS_NO_SUCH_DEVICE, 0);
      return complete(irp, set_answer(p, (const struct kvxstand_answer*)buffer), 0);
    case KVXSTAND_FILL: {
      const struct kvxstand_fill* fill = (const struct kvxstand_fill*)buffer;
      if (in < sizeof *fill || fill->slot >= KVXSTAND_SLOT_COUNT) break;
      p = state_of(fill->port);
      if (p == NULL) return complete(irp, STATUS_NO_SUCH_DEVICE, 0);
      RtlCopyMemory(p->slots[fill->slot], fill->data, KVXSTAND_SLOT_SIZE);
      p->occupied = (USHORT)(p->occupied | (1u << fill->slot));
      return complete(irp, STATUS_SUCCESS, 0);
    }
    case KVXSTAND_BUSY:
    case KVXSTAND_PLUG:
      if (in < sizeof *value) break;
      p = state_of(value->port);
      if (p == NULL) return complete(irp, STATUS_NO_SUCH_DEVICE, 0);
      if (code == KVXSTAND_BUSY) {
        p->busy_left = value->value;
        return complete(irp, STATUS_SUCCESS, 0);
      }
      return complete(irp, plug(p, value->value != 0), 0);
    case KVXSTAND_STATUS: {
      struct kvxstand_status s;
      if (in < sizeof *value || out < sizeof s) break;
      RtlZeroMemory(&s, sizeof s);
      p = state_of(value->port);
      if (p != NULL) {
        s.present = 1;
        s.location = p->location;
        s.plugged = p->plugged;
        s.shared = p->shared;
        s.exclusive = p->exclusive;
        s.busy_left = p->busy_left;
        s.occupied = p->occupied;
        s.refused_opens = p->refused_opens;
        s.exchanges = p->exchanges;
      }
      RtlCopyMemory(buffer, &s, sizeof s);
      return complete(irp, STATUS_SUCCESS, sizeof s);
    }
    default:
      break;
  }
  return complete(irp, STATUS_INVALID_PARAMETER, 0);
}

static const struct kvxstand_answer* find_answer(const struct port_state* p, const UCHAR* packet, ULONG size) {
  ULONG i;
  for (i = 0; i < KVXSTAND_MAX_ANSWERS; ++i) {
    const struct kvxstand_answer* a = &p->answers[i].answer;
    if (p->answers[i].in_use && a->packet_size == size &&
        RtlCompareMemory(a->match, packet, a->match_length) == a->match_length) {
      return a;
    }
  }
  return NULL;
}

static ULONG read_u32(const UCHAR* bytes) {
  return (ULONG)bytes[0] | (ULONG)bytes[1] << 8 | (ULONG)bytes[2] << 16 | (ULONG)bytes[3] << 24;
}

/* One control packet, answered in place; the status the request ends with. */
static NTSTATUS answer_packet(struct port_state* p, UCHAR* packet, ULONG size) {
  const struct kvxstand_answer* a = find_answer(p, packet, size);
  ULONG k, slot;
  if (a == NULL) return STATUS_INVALID_PARAMETER;
  if (a->status != 0) return a->status;
  if (a->kind == KVXSTAND_REPLY_RELEASE) {
    if (a->index_offset > size - 4) return STATUS_INVALID_PARAMETER;
    slot = read_u32(packet + a->index_offset);
    if (slot >= KVXSTAND_SLOT_COUNT) return (NTSTATUS)a->invalid_status;
    p->occupied = (USHORT)(p->occupied & ~(1u << slot));
    RtlZeroMemory(p->slots[slot], KVXSTAND_SLOT_SIZE);
  }
  RtlCopyMemory(packet + a->overlay_offset, a->overlay, a->overlay_length);
  if (a->kind == KVXSTAND_REPLY_ERRLOG) {
    if (a->zero_from > size || a->bitmap_offset > size - 2 || a->slots_offset > size ||
        size - a->slots_offset < KVXSTAND_SLOT_COUNT * KVXSTAND_SLOT_SIZE) {
      return STATUS_INVALID_PARAMETER;
    }
    RtlZeroMemory(packet + a->zero_from, size - a->zero_from);
    for (k = 0; k < KVXSTAND_SLOT_COUNT; ++k) {
      if ((p->occupied & (1u << k)) == 0) continue;
      packet[a->bitmap_offset + k / 8] |= (UCHAR)(0x80u >> (k % 8));
      RtlCopyMemory(packet + a->slots_offset + KVXSTAND_SLOT_SIZE * k, p->slots[k], KVXSTAND_SLOT_SIZE);
    }
  }
  return STATUS_SUCCESS;
}

/* The handle's open mode and the generation of the device it opened. */
static ULONG_PTR handle_word(ULONG mode, ULONG generation) { return (ULONG_PTR)generation << 2 | mode; }

static NTSTATUS port_request(PDEVICE_OBJECT device, PIRP irp) {
  struct port_state* p = (struct port_state*)device->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PFILE_OBJECT file = stack->FileObject;
  ULONG_PTR word = file != NULL ? (ULONG_PTR)file->FsContext2 : 0;
  ULONG mode = (ULONG)(word & 3);
  BOOLEAN current = (ULONG)(word >> 2) == p->generation;

  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE: {
      /* Windows share semantics: an exclusive open needs the device to
       * itself; a shared open fails while an exclusive one is open. */
      const BOOLEAN wants_exclusive = stack->Parameters.Create.ShareAccess == 0;
      if (!p->plugged) return complete(irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);
      if (p->exclusive > 0 || (wants_exclusive && p->shared > 0)) {
        /* Wine hands out a handle even so: its first request is refused. */
        ++p->refused_opens;
        if (file != NULL) file->FsContext2 = (PVOID)handle_word(OPEN_REFUSED, p->generation);
        return complete(irp, STATUS_SHARING_VIOLATION, 0);
      }
      if (wants_exclusive) {
        ++p->exclusive;
      } else {
        ++p->shared;
      }
      if (file != NULL)
        file->FsContext2 = (PVOID)handle_word(wants_exclusive ? OPEN_EXCLUSIVE : OPEN_SHARED, p->generation);
      return complete(irp, STATUS_SUCCESS, 0);
    }
    case IRP_MJ_CLOSE:
      if (current && mode == OPEN_SHARED && p->shared > 0) --p->shared;
      if (current && mode == OPEN_EXCLUSIVE && p->exclusive > 0) --p->exclusive;
      return complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL: {
      ULONG size = stack->Parameters.DeviceIoControl.InputBufferLength;
      NTSTATUS status;
      if (mode == 0 || mode == OPEN_REFUSED) return complete(irp, STATUS_SHARING_VIOLATION, 0);
      if (!current || !p->plugged) return complete(irp, STATUS_UNSUCCESSFUL, 0);
      ++p->exchanges;
      if (p->busy_left > 0) {
        --p->busy_left;
        return complete(irp, STATUS_DEVICE_BUSY, 0);
      }
      if (stack->Parameters.DeviceIoControl.IoControlCode != PORT_IOCTL ||
          stack->Parameters.DeviceIoControl.OutputBufferLength != size || size == 0) {
        return complete(irp, STATUS_INVALID_PARAMETER, 0);
      }
      status = answer_packet(p, (UCHAR*)irp->AssociatedIrp.SystemBuffer, size);
      return complete(irp, status, NT_SUCCESS(status) ? size : 0);
    }
    default:
      return complete(irp, STATUS_SUCCESS, 0);
  }
}

static NTSTATUS dispatch(PDEVICE_OBJECT device, PIRP irp) {
  if (device != control_device) return port_request(device, irp);
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL) return control_request(device, irp);
  return complete(irp, STATUS_SUCCESS, 0);
}

static void unload(PDRIVER_OBJECT driver) {
  UNICODE_STRING link;
  ULONG i;
  (void)driver;
  for (i = 0; i < KVXSTAND_MAX_PORTS; ++i) remove_port(i);
  RtlInitUnicodeString(&link, KVXSTAND_CONTROL_LINK);
  IoDeleteSymbolicLink(&link);
  IoDeleteDevice(control_device);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  UNICODE_STRING name, link;
  NTSTATUS status;
  (void)registry_path;
  RtlInitUnicodeString(&name, KVXSTAND_CONTROL_DEVICE);
  RtlInitUnicodeString(&link, KVXSTAND_CONTROL_LINK);
  status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &control_device);
  if (!NT_SUCCESS(status)) return status;
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(control_device);
    return status;
  }
  driver->MajorFunction[IRP_MJ_CREATE] = dispatch;
  driver->MajorFunction[IRP_MJ_CLOSE] = dispatch;
  driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch;
  driver->DriverUnload = unload;
  return STATUS_SUCCESS;
}
