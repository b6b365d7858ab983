#include "serial/line_coding.h"

#include "usb/requests.h"

// {rate, divisor code}, in strictly descending order of rate. A code runs the
// chip at 384,000,000 / (m x 4^e): m in bits 0-8, e in bits 9-11, bit 31 set.
const ULONG AvailBaudRate[USB2SER_BAUD_ROWS][2] = {
    {6000000, 0x80000040}, {3000000, 0x80000080}, {2457600, 0x8000009C}, {1228800, 0x8000024E},
    {921600, 0x80000268},  {812500, 0x80000276},  {806400, 0x80000277},  {614400, 0x8000029C},
    {460800, 0x800002D0},  {403200, 0x800002EE},  {268800, 0x80000459},  {230400, 0x80000468},
    {201600, 0x80000477},  {161280, 0x80000494},  {134400, 0x800004B2},  {128000, 0x800004BB},
    {115200, 0x800004D0},  {57600, 0x80000668},   {38400, 0x8000069C},   {28800, 0x800006D0},
    {19200, 0x8000084E},   {14400, 0x80000868},   {9600, 0x8000089C},    {7200, 0x800008D0},
    {4800, 0x80000A4E},    {3600, 0x80000A68},    {2400, 0x80000A9C},    {1800, 0x80000AD0},
    {1200, 0x80000C4E},    {600, 0x80000C9C},     {300, 0x80000E4E},     {150, 0x80000E9C},
    {75, 0x80000F38},
};

namespace {

const LONG kSettleTime = -2000000;   // 200 ms after a change of rate, relative
const ULONG kTextBufferSize = 260;  // 259 characters and the terminator
const ULONG kTokenMax = 21;

// Reads a number as the C runtime's atol reads one (white space, a sign,
// digits up to the first other character; none is 0), as the 32-bit pattern
// a negative number wraps to. FALSE for a number outside -2,147,483,648 to
// 4,294,967,295: larger ones would wrap into a code nobody wrote.
BOOLEAN USB2SER_ParseNumber(const CHAR* Token, PULONG Value) {
    while (*Token == ' ' || (*Token >= '\t' && *Token <= '\r')) ++Token;
    BOOLEAN negative = FALSE;
    if (*Token == '+' || *Token == '-') negative = *Token++ == '-';
    ULONGLONG value = 0;
    for (; *Token >= '0' && *Token <= '9'; ++Token) {
        value = value * 10 + static_cast<ULONG>(*Token - '0');
        if (value > (negative ? 0x80000000ull : 0xFFFFFFFFull)) return FALSE;
    }
    *Value = negative ? 0u - static_cast<ULONG>(value) : static_cast<ULONG>(value);
    return TRUE;
}

// Converts Text[Start, End) into *Value. FALSE when the token is longer than
// 21 characters or does not fit 32 bits.
BOOLEAN USB2SER_ConvertToken(const CHAR* Text, ULONG Start, ULONG End, PULONG Value) {
    if (End - Start > kTokenMax) return FALSE;
    CHAR token[kTokenMax + 1];
    RtlCopyMemory(token, Text + Start, End - Start);
    token[End - Start] = '\0';
    return USB2SER_ParseNumber(token, Value);
}

}  // namespace

// The exact row, else the nearer of the two rows around the rate; a rate at
// the rounded-down midpoint of two rows goes to the lower one.
BOOLEAN USB2SER_FindAvailBaudRate(PULONG Rate, PULONG Index) {
    const ULONG r = *Rate;
    for (ULONG i = 0; i < USB2SER_BAUD_ROWS; ++i) {
        if (AvailBaudRate[i][0] == r) {
            *Index = i;
            return TRUE;
        }
    }
    for (ULONG j = 0; j + 1 < USB2SER_BAUD_ROWS; ++j) {
        const ULONG upper = AvailBaudRate[j][0];
        const ULONG lower = AvailBaudRate[j + 1][0];
        const ULONG mid = (upper + lower) / 2;
        ULONG chosen;
        if (r > mid) {
            chosen = j;
        } else if (r < mid && r > lower) {
            chosen = j + 1;
        } else {
            continue;
        }
        *Rate = AvailBaudRate[chosen][0];
        *Index = chosen;
        return TRUE;
    }
    return FALSE;
}

BOOLEAN USB2SER_FindAvailExtBaudRate(PULONG Rate, PULONG Index) {
    const LONG count = gExtBaudrateCnt;
    for (LONG i = 0; i < count && i < USB2SER_EXT_BAUD_ROWS; ++i) {
        if (AvailExtBaudRate[i][0] == *Rate) {
            *Index = static_cast<ULONG>(i);
            return TRUE;
        }
    }
    return FALSE;
}

// Up to DISPATCH_LEVEL. Replaces the run-time table with the pairs
// "rate,code" of the text, separated by one space. The table is out of use
// from the start (a lookup meanwhile sees no rows) and the count is set only
// when the last row is written. A text that does not fit the 260-byte buffer,
// or a number beyond 32 bits, leaves the table empty.
BOOLEAN NTAPI ExtBaudrateForSerport(PCHAR Text) {
    CHAR text[kTextBufferSize];
    gExtBaudrateCnt = 0;
    if (Text == NULL) return TRUE;
    ULONG length = 0;
    while (length < kTextBufferSize && Text[length] != '\0') ++length;
    if (length == kTextBufferSize) return TRUE;
    RtlCopyMemory(text, Text, length + 1);

    ULONG position = 0;
    for (LONG row = 0; row < USB2SER_EXT_BAUD_ROWS; ++row) {
        ULONG start = position;
        while (position < length && text[position] != ',') ++position;
        ULONG rate;
        if (position == length || !USB2SER_ConvertToken(text, start, position, &rate)) return TRUE;
        start = ++position;
        while (position < length && text[position] != ' ') ++position;
        ULONG code;
        if (!USB2SER_ConvertToken(text, start, position, &code)) return TRUE;
        AvailExtBaudRate[row][0] = rate;
        AvailExtBaudRate[row][1] = code;
        if (position == length || row + 1 == USB2SER_EXT_BAUD_ROWS) {
            gExtBaudrateCnt = row + 1;
            return TRUE;
        }
        ++position;  // the space
    }
    return TRUE;
}

ULONG USB2SER_LineRate(PUSB2SER_EXTENSION Extension, PULONG Rate) {
    ULONG index;
    if (Extension->ChipType == CHIP_EXTENDED && USB2SER_FindAvailExtBaudRate(Rate, &index)) {
        return AvailExtBaudRate[index][1];
    }
    if (!USB2SER_FindAvailBaudRate(Rate, &index)) return *Rate;
    if (Extension->ChipType == CHIP_EXTENDED && AvailBaudRate[index][0] > USB2SER_HIGHEST_PLAIN_RATE) {
        return AvailBaudRate[index][1];
    }
    return AvailBaudRate[index][0];
}

BOOLEAN USB2SER_RecordedLine(PDEVICE_OBJECT DeviceObject, USB2SER_LINE* Line) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    const UCHAR* settings = ext->PortSettings;
    Line->StopBits = settings[USB2SER_SETTINGS_STOP_BITS];
    Line->Parity = settings[USB2SER_SETTINGS_PARITY];
    Line->DataBits = settings[USB2SER_SETTINGS_DATA_BITS];
    ULONG rate = USB2SER_SettingsRate(settings);
    if (Line->DataBits == 0 || rate == 0) {
        UCHAR coding[USB2SER_LINE_CODING_SIZE];
        if (!USB2SER_ReadLineCoding(DeviceObject, coding)) return FALSE;
        USB2SER_LINE device;
        USB2SER_DecodeLineCoding(coding, &device);
        if (Line->DataBits == 0) {
            Line->StopBits = device.StopBits;
            Line->Parity = device.Parity;
            Line->DataBits = device.DataBits;
        }
        if (rate == 0) rate = device.Rate;
    }
    Line->Rate = (rate & USB2SER_DIVISOR_CODE) != 0 ? rate : USB2SER_LineRate(ext, &rate);
    return TRUE;
}

BOOLEAN USB2SER_ReadLineCoding(PDEVICE_OBJECT DeviceObject, PUCHAR Coding) {
    ULONG received = 0;
    const NTSTATUS status = USB2SER_SendRequest(
        DeviceObject,
        USB2SER_BuildClassRequest(TRUE, USB2SER_CDC_GET_LINE_CODING, 0, Coding, USB2SER_LINE_CODING_SIZE), FALSE,
        &received);
    return NT_SUCCESS(status) && received == USB2SER_LINE_CODING_SIZE;
}

VOID USB2SER_DecodeLineCoding(const UCHAR* Coding, USB2SER_LINE* Line) {
    Line->Rate = USB2SER_GetLE32(Coding);
    Line->StopBits = Coding[4];
    Line->Parity = Coding[5];
    Line->DataBits = Coding[6];
}

PURB USB2SER_BuildLineCoding(PUCHAR Coding, const USB2SER_LINE* Line) {
    USB2SER_PutLE32(Coding, Line->Rate);
    Coding[4] = Line->StopBits;
    Coding[5] = Line->Parity;
    Coding[6] = Line->DataBits;
    return USB2SER_BuildClassRequest(FALSE, USB2SER_CDC_SET_LINE_CODING, 0, Coding, USB2SER_LINE_CODING_SIZE);
}

// At PASSIVE_LEVEL, when the device lost its settings: the recorded line, the
// rate told as before (the table row or its divisor code, not the rate asked
// for, which the device may not run at). A line never set is the device's
// own: nothing is sent.
NTSTATUS USB2SER_RestoreState(PDEVICE_OBJECT DeviceObject) {
    const UCHAR* settings = USB2SER_Extension(DeviceObject)->PortSettings;
    if (USB2SER_SettingsRate(settings) == 0 && settings[USB2SER_SETTINGS_DATA_BITS] == 0) return STATUS_SUCCESS;
    USB2SER_LINE line;
    if (!USB2SER_RecordedLine(DeviceObject, &line)) return STATUS_UNSUCCESSFUL;
    UCHAR coding[USB2SER_LINE_CODING_SIZE];
    return USB2SER_SendRequest(DeviceObject, USB2SER_BuildLineCoding(coding, &line), FALSE, NULL);
}

ULONG USB2SER_SettingsRate(const UCHAR* Settings) { return USB2SER_GetLE32(Settings + USB2SER_SETTINGS_RATE); }

VOID USB2SER_SetSettingsRate(PUCHAR Settings, ULONG Rate) { USB2SER_PutLE32(Settings + USB2SER_SETTINGS_RATE, Rate); }

ULONG USB2SER_GetLE32(const UCHAR* Bytes) {
    return static_cast<ULONG>(Bytes[0]) | static_cast<ULONG>(Bytes[1]) << 8 | static_cast<ULONG>(Bytes[2]) << 16 |
           static_cast<ULONG>(Bytes[3]) << 24;
}

VOID USB2SER_PutLE32(PUCHAR Bytes, ULONG Value) {
    Bytes[0] = static_cast<UCHAR>(Value);
    Bytes[1] = static_cast<UCHAR>(Value >> 8);
    Bytes[2] = static_cast<UCHAR>(Value >> 16);
    Bytes[3] = static_cast<UCHAR>(Value >> 24);
}

// The line coding sent depends on the kind: the matched rate with the
// framing held before (2), the rate held before with the block's framing (1),
// or the line as it was (other kinds). The rate held before is told as the
// baud-rate change told it (its row or divisor code): a change of framing does
// not move the line's speed. A line the device refuses (a rate or framing it
// cannot run) changes nothing and gives FALSE: the device kept its line. Taken,
// the whole block becomes PortSettings, which keeps the rate asked for, and
// the caller's block comes back with the rate actually chosen; what the block
// lacks (a rate or a framing never set) the record takes from the line sent,
// the device's own. A change of rate is given 200 ms to settle.
BOOLEAN USB2SER_SetState(PDEVICE_OBJECT DeviceObject, PUCHAR Settings, UCHAR Kind) {
    PUSB2SER_EXTENSION ext = USB2SER_Extension(DeviceObject);
    USB2SER_LINE line;
    if (!USB2SER_RecordedLine(DeviceObject, &line)) return FALSE;
    ULONG chosen = USB2SER_SettingsRate(Settings);
    if (Kind == SERPORT_STATE_BAUD_RATE) {
        line.Rate = USB2SER_LineRate(ext, &chosen);
    } else if (Kind == SERPORT_STATE_LINE_CONTROL) {
        line.StopBits = Settings[USB2SER_SETTINGS_STOP_BITS];
        line.Parity = Settings[USB2SER_SETTINGS_PARITY];
        line.DataBits = Settings[USB2SER_SETTINGS_DATA_BITS];
    }
    UCHAR coding[USB2SER_LINE_CODING_SIZE];
    PURB urb = USB2SER_BuildLineCoding(coding, &line);
    if (urb == NULL) return FALSE;
    if (!NT_SUCCESS(USB2SER_SendRequest(DeviceObject, urb, FALSE, NULL))) return FALSE;
    RtlCopyMemory(ext->PortSettings, Settings, USB2SER_PORT_SETTINGS_SIZE);
    if (ext->PortSettings[USB2SER_SETTINGS_DATA_BITS] == 0) {
        ext->PortSettings[USB2SER_SETTINGS_STOP_BITS] = line.StopBits;
        ext->PortSettings[USB2SER_SETTINGS_PARITY] = line.Parity;
        ext->PortSettings[USB2SER_SETTINGS_DATA_BITS] = line.DataBits;
    }
    if (USB2SER_SettingsRate(ext->PortSettings) == 0) USB2SER_SetSettingsRate(ext->PortSettings, line.Rate);
    USB2SER_SetSettingsRate(Settings, chosen);
    if (Kind == SERPORT_STATE_BAUD_RATE && chosen != ext->LastBaudRate) {
        LARGE_INTEGER interval;
        interval.QuadPart = kSettleTime;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    ext->LastBaudRate = chosen;
    return TRUE;
}
