/* The private control device of the stand-in driver kvxstand.sys, shared by
 * the driver (C) and the kvxstand tool (C++). The tool builds every reply
 * from the adapter model of the driver simulator and hands it over as an
 * answer: "a request of this size that starts with these bytes is answered
 * by overwriting these bytes", so the driver knows nothing of the packet
 * layout beyond the detail-data slots.
 *
 * Every request is METHOD_BUFFERED on \\.\KvxStandCtl. Integers are in the
 * machine's byte order (both sides run on the same machine). */
#ifndef KVX_STANDIN_PROTOCOL_H
#define KVX_STANDIN_PROTOCOL_H

#define KVXSTAND_CONTROL_DEVICE L"\\Device\\KvxStandCtl"
#define KVXSTAND_CONTROL_LINK L"\\DosDevices\\KvxStandCtl"
#define KVXSTAND_CONTROL_PATH "\\\\.\\KvxStandCtl"

#define KVXSTAND_MAX_PORTS 128
#define KVXSTAND_SLOT_COUNT 16
#define KVXSTAND_SLOT_SIZE 1024
#define KVXSTAND_MAX_ANSWERS 8
#define KVXSTAND_MATCH_SIZE 32
#define KVXSTAND_MAX_OVERLAY 4096
#define KVXSTAND_MAX_NAME 201 /* UTF-16 units of the device object name, with its zero */

/* CTL_CODE(0x8000, 0x800 + n, METHOD_BUFFERED, FILE_ANY_ACCESS) */
#define KVXSTAND_IOCTL(n) (0x80000000u | ((0x800u + (n)) << 2))
#define KVXSTAND_ADD_PORT KVXSTAND_IOCTL(1)   /* in: kvxstand_port_setup */
#define KVXSTAND_SET_ANSWER KVXSTAND_IOCTL(2) /* in: kvxstand_answer */
#define KVXSTAND_FILL KVXSTAND_IOCTL(3)       /* in: kvxstand_fill */
#define KVXSTAND_BUSY KVXSTAND_IOCTL(4)       /* in: kvxstand_port_value (count) */
#define KVXSTAND_PLUG KVXSTAND_IOCTL(5)       /* in: kvxstand_port_value (1 plug, 0 unplug) */
#define KVXSTAND_STATUS KVXSTAND_IOCTL(6)     /* in: kvxstand_port_value; out: kvxstand_status */
#define KVXSTAND_REMOVE_ALL KVXSTAND_IOCTL(7) /* no data */

/* How an answer's reply is made from the request, after the overlay. */
#define KVXSTAND_REPLY_OVERLAY 0 /* the overlay alone */
#define KVXSTAND_REPLY_ERRLOG 1  /* zero from zero_from on, then the bitmap and every occupied slot */
#define KVXSTAND_REPLY_RELEASE 2 /* the slot index (u32 at index_offset) is released */

struct kvxstand_port_setup {
  unsigned int port;
  unsigned int location; /* shown by status only */
  unsigned short device_name[KVXSTAND_MAX_NAME];
};

struct kvxstand_answer {
  unsigned int port;
  unsigned int packet_size;
  unsigned int match_length; /* the request's first bytes that identify it */
  unsigned char match[KVXSTAND_MATCH_SIZE];
  int status; /* NTSTATUS the request completes with; not 0: no reply bytes */
  unsigned int kind;
  unsigned int zero_from;      /* ERRLOG: first byte of the cleared payload */
  unsigned int bitmap_offset;  /* ERRLOG: the two bitmap bytes */
  unsigned int slots_offset;   /* ERRLOG: slot k at slots_offset + 1024 k */
  unsigned int index_offset;   /* RELEASE: the slot index */
  unsigned int invalid_status; /* RELEASE: status for an index beyond the slots */
  unsigned int overlay_offset;
  unsigned int overlay_length;
  unsigned char overlay[KVXSTAND_MAX_OVERLAY];
};

struct kvxstand_fill {
  unsigned int port;
  unsigned int slot;
  unsigned char data[KVXSTAND_SLOT_SIZE];
};

struct kvxstand_port_value {
  unsigned int port;
  unsigned int value;
};

struct kvxstand_status {
  unsigned int present;
  unsigned int location;
  unsigned int plugged;
  unsigned int shared;
  unsigned int exclusive;
  unsigned int busy_left;
  unsigned int occupied;
  unsigned int refused_opens;
  unsigned long long exchanges;
};

#endif
