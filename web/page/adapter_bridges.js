// The USB-serial bridges found in the adapters: the port chooser offers these first. The same
// list as the udev rule's and the desktop programs' (a test keeps them equal).
export const kAdapterBridges = [
  { usbVendorId: 0x0403, usbProductId: 0x6001 },  // FTDI FT232R
  { usbVendorId: 0x0403, usbProductId: 0x6010 },  // FTDI FT2232
  { usbVendorId: 0x0403, usbProductId: 0x6011 },  // FTDI FT4232
  { usbVendorId: 0x0403, usbProductId: 0x6014 },  // FTDI FT232H
  { usbVendorId: 0x0403, usbProductId: 0x6015 },  // FTDI FT231X
  { usbVendorId: 0x1a86, usbProductId: 0x7523 },  // WCH CH340
  { usbVendorId: 0x1a86, usbProductId: 0x5523 },  // WCH CH341
  { usbVendorId: 0x1a86, usbProductId: 0x7522 },  // WCH CH340K
  { usbVendorId: 0x1a86, usbProductId: 0x55d4 },  // WCH CH9102
  { usbVendorId: 0x10c4, usbProductId: 0xea60 },  // Silicon Labs CP2102
  { usbVendorId: 0x10c4, usbProductId: 0xea70 },  // Silicon Labs CP2105
  { usbVendorId: 0x10c4, usbProductId: 0xea71 },  // Silicon Labs CP2108
  { usbVendorId: 0x067b, usbProductId: 0x2303 },  // Prolific PL2303
  { usbVendorId: 0x067b, usbProductId: 0x23a3 },  // Prolific PL2303 revisions
  { usbVendorId: 0x067b, usbProductId: 0x23b3 },
  { usbVendorId: 0x067b, usbProductId: 0x23c3 },
  { usbVendorId: 0x067b, usbProductId: 0x23d3 },
  { usbVendorId: 0x067b, usbProductId: 0x23e3 },
  { usbVendorId: 0x067b, usbProductId: 0x23f3 },
];

const kBridgeNames = new Map([
  [0x0403, 'FTDI'], [0x1a86, 'WCH'], [0x10c4, 'Silicon Labs'], [0x067b, 'Prolific'],
]);

// "USB serial (WCH, 1a86:7523)", "Bluetooth serial", or "Serial port".
export function describePort(info) {
  const hex = (n) => n.toString(16).padStart(4, '0');
  if (Number.isInteger(info?.usbVendorId) && Number.isInteger(info?.usbProductId)) {
    const maker = kBridgeNames.get(info.usbVendorId);
    const id = `${hex(info.usbVendorId)}:${hex(info.usbProductId)}`;
    return `USB serial (${maker ? `${maker}, ` : ''}${id})`;
  }
  if (info?.bluetoothServiceClassId) return 'Bluetooth serial';
  return 'Serial port';
}
