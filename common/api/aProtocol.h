// aProtocol: the link protocol between the host and a module, as numbers.
//
// Everything a module must do to be driven by this library is fixed by the constants below:
// link-level packets, heartbeats, command numbers, UEI flags, the system entity's options, the
// module queries, the firmware transfer exchange, stream samples, store slots, factory data, and
// how a module identifies itself on USB and TCP/IP. The library and the module simulators both
// include this header, so the two sides cannot drift apart. Constants only; offsets are data-byte
// positions inside a packet (data byte 0 is the command). Multi-byte values inside packet data are
// big-endian unless a constant says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------------------------
// Packets and addresses

constexpr uint8_t aPROTO_MAX_DATA = 28;             // data bytes in one packet
constexpr uint8_t aPROTO_MIN_MODULE_ADDRESS = 2;    // lowest module address (addresses are even)
constexpr uint8_t aPROTO_MAX_MODULE_ADDRESS = 254;  // highest module address

// True for a valid module address: even and non-zero. Odd values are link-level addresses.
constexpr bool aProto_IsModuleAddress(uint8_t address) {
    return address != 0 && (address & 1) == 0;
}

// ---------------------------------------------------------------------------------------------
// Link-level packets (odd address byte, not addressed to a module)

constexpr uint8_t cmdMAGIC = 0xAD;  // magic packet, no data: "who is there?"; the module answers
                                    // with a zero-length packet from its own address
constexpr uint8_t cmdFORCEROUTE = 0xAF;          // route packet, one data byte; no reply
constexpr uint8_t aPROTO_ROUTE_ON = 1;           // route value sent when a link starts
constexpr uint8_t aPROTO_ROUTE_OFF = 0;          // route value sent when a link stops
constexpr unsigned aPROTO_SYNC_MAGIC_COUNT = 6;  // magic packets the host sends per sync attempt

// Heartbeat: a packet from the module with exactly two data bytes, the first 0. The host answers
// to the same address with {0, second byte + 2}.
constexpr uint8_t aPROTO_HEARTBEAT_CMD = 0;         // data byte 0 of a heartbeat
constexpr uint8_t aPROTO_HEARTBEAT_LENGTH = 2;      // data length of a heartbeat and its answer
constexpr uint8_t aPROTO_HEARTBEAT_UP = 0;          // module's heartbeat "up" value
constexpr uint8_t aPROTO_HEARTBEAT_DOWN = 1;        // module's heartbeat "down" value
constexpr uint8_t aPROTO_HEARTBEAT_ANSWER_ADD = 2;  // the host answers with the value plus this

// ---------------------------------------------------------------------------------------------
// Command numbers (data byte 0)

constexpr uint8_t cmdHEARTBEAT = 0;  // link heartbeat (see above)
constexpr uint8_t cmdSYSTEM = 3;     // system entity
constexpr uint8_t cmdSLOT = 4;       // store slots
constexpr uint8_t cmdI2C = 8;        // I2C entity
constexpr uint8_t cmdDEBUG = 23;     // echo test: 23 + payload, answered with the same bytes
constexpr uint8_t cmdQUERY = 73;     // capability and build queries
constexpr uint8_t cmdSTORE = 92;     // save / factory-reset / load an entity's settings
constexpr uint8_t cmdSTREAM = 93;    // enable and disable streaming, query streaming state
constexpr uint8_t cmdFACTORY = 94;   // factory data ('^')
constexpr uint8_t cmdUPGRADE = 95;   // firmware transfer

// Commands whose packets have their own layouts instead of a UEI payload.
constexpr uint8_t aPROTO_NOT_UEI_COMMANDS[] = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};

// ---------------------------------------------------------------------------------------------
// UEI packets: data byte 0 command, 1 option byte, 2 index byte, 3... value

constexpr uint8_t OPTION_MASK = 0x3F;       // option code bits of the option byte
constexpr uint8_t OPTION_GET = 0x40;        // option byte flag of a get request
constexpr uint8_t OPTION_SET = 0x80;        // option byte flag of a set (or call) request
constexpr uint8_t OPTION_SET_REPLY = 0xC0;  // flags of the option byte in a set/call reply
constexpr uint8_t INDEX_MASK = 0x1F;        // entity index bits of the index byte
constexpr uint8_t INDEX_REQUEST = 0x20;     // index byte flag set by the host on every request
constexpr uint8_t INDEX_STREAM = 0x40;      // index byte flag of a stream sample
constexpr uint8_t INDEX_ERROR = 0x80;       // index byte flag of an error reply

constexpr uint8_t aPROTO_UEI_HEADER = 3;       // command, option and index bytes
constexpr uint8_t aPROTO_UEI_SUBINDEX_AT = 3;  // data byte holding a subindex, value follows it
constexpr uint8_t aPROTO_UEI_ERROR_AT = 3;     // data byte holding the aErr code of an error reply

// Data length of a UEI reply, which gives its value type.
constexpr uint8_t aPROTO_UEI_LENGTH_VOID = 3;   // no value
constexpr uint8_t aPROTO_UEI_LENGTH_BYTE = 4;   // 8-bit value
constexpr uint8_t aPROTO_UEI_LENGTH_SHORT = 5;  // 16-bit value
constexpr uint8_t aPROTO_UEI_LENGTH_INT = 7;    // 32-bit value

// Byte strings: runs of packets of header + chunk + sequence byte.
constexpr uint8_t aPROTO_UEI_BYTES_CHUNK = 24;       // most string bytes in one packet
constexpr uint8_t aPROTO_UEI_BYTES_SEQ_MASK = 0x7F;  // sequence byte: packet number modulo 128
constexpr uint8_t aPROTO_UEI_BYTES_CONTINUE = 0x80;  // sequence byte: more packets follow
constexpr uint8_t aPROTO_UEI_BYTES_OVERHEAD = 4;     // header bytes plus the sequence byte

constexpr uint32_t aPROTO_REPLY_TIMEOUT_MS = 1000;      // how long the host waits for a reply
constexpr uint32_t aPROTO_LARGE_SET_TIMEOUT_MS = 4000;  // ... for the ack of a large string set
constexpr size_t aPROTO_LARGE_SET_THRESHOLD = 1000;     // strings longer than this are large

// ---------------------------------------------------------------------------------------------
// System entity (cmdSYSTEM, index 0): option codes

constexpr uint8_t systemModule = 1;                         // get u8: module address
constexpr uint8_t systemRouter = 2;                         // get/set u8: router address
constexpr uint8_t systemHBInterval = 3;                     // get/set u8: heartbeat interval
constexpr uint8_t systemLED = 4;                            // get/set u8
constexpr uint8_t systemBootSlot = 6;                       // get/set u8
constexpr uint8_t systemVersion = 7;                        // get u32: packed firmware version
constexpr uint8_t systemModel = 8;                          // get u8: model number
constexpr uint8_t systemSerialNumber = 9;                   // get u32: serial number
constexpr uint8_t systemSave = 10;                          // call
constexpr uint8_t systemReset = 11;                         // call: restart the module
constexpr uint8_t systemInputVoltage = 12;                  // get u32
constexpr uint8_t systemModuleHardwareOffset = 13;          // get u8
constexpr uint8_t systemModuleBaseAddress = 14;             // get u8
constexpr uint8_t systemModuleSoftwareOffset = 15;          // get/set u8
constexpr uint8_t systemRouterAddressSetting = 16;          // get u8
constexpr uint8_t systemRouteToMe = 20;                     // set u8
constexpr uint8_t systemInputCurrent = 21;                  // get u32
constexpr uint8_t systemUptime = 22;                        // get u32
constexpr uint8_t systemMaximumTemperature = 23;            // get s32
constexpr uint8_t systemLogEvents = 24;                     // call
constexpr uint8_t systemUnregulatedVoltage = 25;            // get s32
constexpr uint8_t systemUnregulatedCurrent = 26;            // get s32
constexpr uint8_t systemTemperature = 27;                   // get s32
constexpr uint8_t systemMinimumTemperature = 28;            // get s32
constexpr uint8_t systemInputPowerSource = 29;              // get u8
constexpr uint8_t systemInputPowerBehavior = 30;            // get/set u8
constexpr uint8_t systemInputPowerBehaviorConfig = 31;      // get/set bytes (32-bit words)
constexpr uint8_t systemName = 32;                          // get/set bytes: module name
constexpr uint8_t systemPowerLimit = 33;                    // get u32
constexpr uint8_t systemPowerLimitMax = 34;                 // get/set u32
constexpr uint8_t systemPowerLimitState = 35;               // get u32
constexpr uint8_t systemResetDeviceToFactoryDefaults = 37;  // call
constexpr uint8_t systemLinkInterface = 38;                 // get/set u8
constexpr uint8_t systemUniqueIdentifier = 39;              // get u32 with subindex 0..3: chip id
constexpr uint8_t systemHardwareVersion = 40;               // get u32
constexpr uint8_t systemErrors = 41;                        // get u32
constexpr uint8_t systemLEDMaxBrightness = 42;              // get/set u8
constexpr uint8_t systemBuild = 43;                         // get u32: firmware build
constexpr uint8_t systemProtocolFeatures = 45;              // get u32: protocol feature bits

constexpr uint8_t aPROTO_UNIQUE_ID_WORDS = 4;  // subindexes of systemUniqueIdentifier
constexpr uint32_t aPROTO_FEATURE_POOLED_PACKETS = 0x80000000u;  // feature bit: pooled packets

// Store requests (cmdSTORE, index 0): a 32-bit set of (entity command << 8) | entity index.
constexpr uint8_t storeSave = 0;          // save the entity's settings
constexpr uint8_t storeResetFactory = 1;  // reset them to factory defaults
constexpr uint8_t storeLoad = 2;          // load them

// ---------------------------------------------------------------------------------------------
// Module queries (cmdQUERY): raw packets 73, code, ...; replies start with 73, code

constexpr uint8_t queryHasUEI = 1;            // 73,1,cmd,opt,idx,flags -> 73,1,cmd,opt,idx,result
constexpr uint8_t queryClassQuantity = 4;     // 73,4,cmd -> 73,4,cmd,count
constexpr uint8_t querySubClassQuantity = 5;  // 73,5,cmd,sub -> 73,5,cmd,sub,count
constexpr uint8_t queryEntityGroup = 6;       // 73,6,cmd,sub -> 73,6,cmd,sub,group
constexpr uint8_t queryBuild = 255;           // 73,255 -> 73,255,build (u32)

constexpr uint8_t aPROTO_QUERY_HASUEI_REPLY_LENGTH = 6;    // data length of a has-UEI reply
constexpr uint8_t aPROTO_QUERY_CLASS_REPLY_LENGTH = 4;     // ... of a class quantity reply
constexpr uint8_t aPROTO_QUERY_SUBCLASS_REPLY_LENGTH = 5;  // ... of a subclass quantity reply
constexpr uint8_t aPROTO_QUERY_GROUP_REPLY_LENGTH = 5;     // ... of an entity group reply
constexpr uint8_t aPROTO_QUERY_BUILD_REPLY_LENGTH = 6;     // ... of a build reply

// ---------------------------------------------------------------------------------------------
// Firmware transfer (cmdUPGRADE): raw packets 95, sub-command, ...; replies matched on 2 bytes

constexpr uint8_t val_UPGRADE_INIT = 0;     // 95,0 -> 95,0,load base (u32)
constexpr uint8_t val_UPGRADE_DATA = 1;     // 95,1,1..26 bytes -> 95,1,bytes accepted
constexpr uint8_t val_UPGRADE_LOAD = 2;     // 95,2 -> 95,2; the module may restart into its loader
constexpr uint8_t val_UPGRADE_PREPARE = 3;  // 95,3,flags,address (u32) -> 95,7,status,block size
constexpr uint8_t val_UPGRADE_SUM = 4;      // 95,4 -> 95,7,status,byte sum (u32)
constexpr uint8_t val_UPGRADE_WRITE = 5;    // 95,5,count (u16) -> 95,7,status
constexpr uint8_t val_UPGRADE_REBOOT = 6;   // 95,6; no reply, the module restarts
constexpr uint8_t val_UPGRADE_STATUS = 7;   // option byte of the PREPARE, SUM and WRITE replies
constexpr uint8_t val_UPGRADE_DATA_UEI = 10;  // UEI set of a byte string holding a whole piece

constexpr uint8_t aPROTO_UPGRADE_MATCH_LENGTH = 2;    // reply bytes compared: 95 and the option
constexpr uint8_t aPROTO_UPGRADE_DATA_MAX = 26;       // image bytes in one DATA packet
constexpr uint8_t aPROTO_UPGRADE_INIT_REPLY_MIN = 6;  // INIT reply: at least 6 data bytes
constexpr uint8_t aPROTO_UPGRADE_LOAD_BASE_AT = 2;    // INIT reply: load base, bytes 2-5
constexpr uint8_t aPROTO_UPGRADE_ACCEPTED_AT = 2;     // DATA reply: count of bytes accepted
constexpr uint8_t aPROTO_UPGRADE_STATUS_AT = 2;       // status byte of a 95,7 reply (0 = good)
constexpr uint8_t aPROTO_UPGRADE_BLOCKSIZE_AT = 3;    // PREPARE reply: block size, bytes 3-4
constexpr uint8_t aPROTO_UPGRADE_SUM_AT = 3;          // SUM reply: byte sum, bytes 3-6
constexpr uint8_t aPROTO_UPGRADE_PREPARE_LENGTH = 7;  // PREPARE request: 95,3,flags,address
constexpr uint8_t aPROTO_UPGRADE_WRITE_LENGTH = 4;    // WRITE request: 95,5,count high,count low
constexpr uint8_t aPROTO_UPGRADE_PREPARE_REPLY_LENGTH = 5;  // 95,7,status,block size
constexpr uint8_t aPROTO_UPGRADE_SUM_REPLY_LENGTH = 7;      // 95,7,status,sum
constexpr uint8_t aPROTO_UPGRADE_WRITE_REPLY_LENGTH = 3;    // 95,7,status
constexpr uint8_t aPROTO_UPGRADE_MAX_FLAGS = 7;  // PREPARE flags are a block's flag value 0-7

// ---------------------------------------------------------------------------------------------
// Streaming (cmdSTREAM, index 0) and stream samples

constexpr uint8_t streamEnable = 1;          // set u32 key: start streaming; get: streaming state
constexpr uint8_t streamDisable = 2;         // set u32 key: stop streaming
constexpr uint8_t aPROTO_STREAM_ALL = 0xFF;  // key byte meaning "every value of that element"

// A stream sample: UEI command, option byte without request flags, index byte | INDEX_STREAM,
// data byte 3 the sample kind, then the layout below, last byte 0 (non-zero: a string chunk).
constexpr uint8_t aPROTO_STREAM_KIND_AT = 3;      // data byte holding the sample kind
constexpr uint8_t aPROTO_STREAM_MIN_LENGTH = 5;   // shortest packet that can be a sample
constexpr uint8_t streamKindU8 = 1;               // 3 kind, 4-11 time, 12 value, 13 zero
constexpr uint8_t streamKindU16 = 2;              // 3 kind, 4-11 time, 12-13 value, 14 zero
constexpr uint8_t streamKindU32 = 3;              // 3 kind, 4-11 time, 12-15 value, 16 zero
constexpr uint8_t streamKindBytes = 4;            // a chunk of a streamed byte string
constexpr uint8_t streamKindSubindexU8 = 5;       // 3 kind, 4 sub, 5-12 time, 13 value, 14 zero
constexpr uint8_t streamKindSubindexU16 = 6;      // 3 kind, 4 sub, 5-12 time, 13-14 value, 15 zero
constexpr uint8_t streamKindSubindexU32 = 7;      // 3 kind, 4 sub, 5-12 time, 13-16 value, 17 zero
constexpr uint8_t aPROTO_STREAM_LENGTH_U8 = 14;   // data length of a kind 1 sample
constexpr uint8_t aPROTO_STREAM_LENGTH_U16 = 15;  // ... kind 2
constexpr uint8_t aPROTO_STREAM_LENGTH_U32 = 17;  // ... kind 3
constexpr uint8_t aPROTO_STREAM_LENGTH_SUBINDEX_U8 = 15;   // ... kind 5
constexpr uint8_t aPROTO_STREAM_LENGTH_SUBINDEX_U16 = 16;  // ... kind 6
constexpr uint8_t aPROTO_STREAM_LENGTH_SUBINDEX_U32 = 18;  // ... kind 7

// ---------------------------------------------------------------------------------------------
// I2C entity (cmdI2C): raw packets 8, index, ...

constexpr uint8_t aPROTO_I2C_MAX_TRANSFER = 23;  // most bytes in one read or write
constexpr uint8_t aPROTO_I2C_MAX_SPEED = 3;      // speed codes are 0..3
constexpr uint8_t aPROTO_I2C_READ_FLAG = 1;      // read: the bus address is sent | 1
constexpr uint8_t aPROTO_I2C_PULLUP = 1;         // pull-up request: 8, index, 1, on/off
constexpr uint8_t aPROTO_I2C_COUNT_AT = 3;       // reply: count of bytes read
constexpr uint8_t aPROTO_I2C_STATUS_AT = 4;      // reply: bit 7 set = error, code in bits 0-6
constexpr uint8_t aPROTO_I2C_ERROR_FLAG = 0x80;  // the error bit of the status byte
constexpr uint8_t aPROTO_I2C_DATA_AT = 5;        // read reply: first byte read

// ---------------------------------------------------------------------------------------------
// Store slots (cmdSLOT): raw packets 4, operation, ...; a failed reply has operation | 0x80

constexpr uint8_t slotCapacity = 1;             // 4,1,store,slot -> 4,1,store,slot,capacity (u16)
constexpr uint8_t slotSize = 2;                 // 4,2,store,slot -> 4,2,store,slot,size (u16)
constexpr uint8_t slotOpenRead = 3;             // 4,3,store,slot -> 4,3,store,slot,handle
constexpr uint8_t slotOpenWrite = 4;            // 4,4,store,slot -> 4,4,store,slot,handle
constexpr uint8_t slotRead = 6;                 // 4,6,handle -> 4,6,handle,bytes...
constexpr uint8_t slotWrite = 7;                // 4,7,handle,1..25 bytes -> 4,7,handle,8-bit sum
constexpr uint8_t slotClose = 8;                // 4,8,handle -> 4,8,handle,byte
constexpr uint8_t aPROTO_SLOT_ERROR = 0x80;     // operation flag of a failed reply
constexpr uint8_t aPROTO_SLOT_NO_HANDLE = 255;  // handle meaning "no slot open"
constexpr uint8_t aPROTO_SLOT_WRITE_MAX = 25;   // bytes in one slot write
constexpr uint32_t aPROTO_SLOT_OPEN_TIMEOUT_MS = 3000;  // how long the host waits for an open

// ---------------------------------------------------------------------------------------------
// Factory data (cmdFACTORY): raw packets 94, option byte, ...

constexpr uint8_t aPROTO_FACTORY_OPTION_MASK = 0x0F;  // option code bits
constexpr uint8_t aPROTO_FACTORY_FIRST = 0x40;        // flag of the first request of a transfer
constexpr uint8_t aPROTO_FACTORY_CLOSE = 0x20;        // the closing request's option byte
constexpr uint8_t aPROTO_FACTORY_WRITE = 0x10;        // flag of every write request
constexpr uint8_t aPROTO_FACTORY_ERROR = 0x80;        // reply flag: failed, code in byte 2
constexpr uint8_t COMMAND_OVERHEAD = 2;               // command and option bytes per packet
constexpr uint8_t aPROTO_FACTORY_CHUNK = 26;          // data bytes per factory packet

// ---------------------------------------------------------------------------------------------
// USB identity

// The maker's USB vendor id: every module reports it (the ROM loaders use NXP's own ids).
constexpr uint16_t HALVORINE_VENDOR_ID = 0x2F5A;
constexpr uint16_t aPROTO_USB_PRODUCT_RESERVED =
    0x8000;                                         // product ids with this bit are not modules
constexpr uint16_t aPROTO_USB_MODEL_MASK = 0x00FF;  // product id bits holding the model number
constexpr uint8_t aPROTO_USB_CLASS = 0xFF;      // interface class of the module's link interface
constexpr uint8_t aPROTO_USB_SUBCLASS = 0x88;   // ... its subclass
constexpr uint8_t aPROTO_USB_PROTOCOL = 0x10;   // ... its protocol
constexpr size_t aPROTO_USB_SERIAL_DIGITS = 8;  // serial string: 8 upper-case hex digits

// ---------------------------------------------------------------------------------------------
// TCP/IP identity: UDP probe and answer

constexpr uint32_t aPROTO_PROBE_GROUP = 0xE8020202u;          // 232.2.2.2 (host byte order)
constexpr const char* aPROTO_PROBE_GROUP_TEXT = "232.2.2.2";  // the same group as text
constexpr uint16_t aPROTO_PROBE_PORT = 9888;                  // modules listen for the probe here
constexpr uint16_t aPROTO_ANSWER_PORT = 9889;     // modules answer to the prober on this port
constexpr size_t aPROTO_PROBE_SIZE = 16;          // probe datagram: byte 0 = 1, the rest 0
constexpr uint8_t aPROTO_PROBE_MARK = 1;          // byte 0 of the probe
constexpr size_t aPROTO_ANSWER_SIZE = 16;         // answer datagram size
constexpr size_t aPROTO_ANSWER_ADDRESS_AT = 1;    // answer: module address
constexpr size_t aPROTO_ANSWER_PORT_AT = 2;       // answer: TCP port, 2 bytes little-endian
constexpr size_t aPROTO_ANSWER_SERIAL_AT = 4;     // answer: serial number, 4 bytes little-endian
constexpr size_t aPROTO_ANSWER_MODEL_AT = 12;     // answer: model (255 if the answer is shorter)
constexpr uint8_t aPROTO_ANSWER_NO_MODEL = 255;   // model of an answer too short to hold one
constexpr uint32_t aPROTO_ANSWER_WAIT_MS = 2000;  // the prober's wait for each answer

// ---------------------------------------------------------------------------------------------
// Layout consistency

static_assert(aPROTO_UEI_BYTES_CHUNK + aPROTO_UEI_BYTES_OVERHEAD == aPROTO_MAX_DATA,
              "a full byte-string chunk fills a packet");
static_assert(aPROTO_UPGRADE_DATA_MAX + 2 == aPROTO_MAX_DATA, "a full DATA packet fills a packet");
static_assert(aPROTO_FACTORY_CHUNK + COMMAND_OVERHEAD == aPROTO_MAX_DATA,
              "a full factory chunk fills a packet");
static_assert(aPROTO_STREAM_LENGTH_SUBINDEX_U32 <= aPROTO_MAX_DATA, "samples fit a packet");
