// Text helpers shared by the command-line tools: hex bytes in and out, and
// NTSTATUS values as the platform's documentation writes them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/ntdef.h"
#include "sim/chip/bridge_chip.h"

namespace tool {

// A number without a sign, decimal or (with 0x) hexadecimal; nullopt for
// anything else.
std::optional<std::uint64_t> unsigned_number(const std::string& text);
// "01 00 44 00" or "01004400": pairs of hex digits, spaces and colons between
// them ignored; nullopt for anything else.
std::optional<std::vector<std::uint8_t>> hex_bytes(const std::string& text);
// "01 00 44 00".
std::string hex_text(std::span<const std::uint8_t> bytes);
// "0xC0000023".
std::string status_text(NTSTATUS status);
// "7E1": data bits, parity (none, odd, even, mark, space), stop bits (0: 1,
// 1: 1.5, 2: 2).
std::string framing_name(UCHAR data_bits, UCHAR parity, UCHAR stop_bits);
// The chip's UART as the chip model has it: "57600 7E1, flow hardware, DTR on, RTS on".
std::string uart_text(const sim::BridgeChip& chip);

// The path of adapter k's file or link of the `adapters` made from one path:
// the path as given for one adapter; for several, k before its extension
// ("line.vcd": "line2.vcd"), or after it when it has none ("/tmp/ttyS":
// "/tmp/ttyS2"). An empty path stays empty.
std::string adapter_path(const std::string& path, int k, int adapters);

}  // namespace tool
