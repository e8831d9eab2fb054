// The device models the wizard offers: one DriverDescriptor per entry of step 0's model list.
//
// The three Modbus models share one driver class and differ in their texts and link kind; the
// S7-200 model is served by the PPI driver, the three S7 Ethernet models (TCP/IP devices) by the
// ISO-on-TCP driver. Driver classes are looked up by ProgID each time the
// catalogue is built, so a driver registered while the program runs is found by the next wizard.
#pragma once

#include <array>

#include <QString>

#include "common/records.h"

namespace ondrel {

inline constexpr int kCatalogueSize = 7;

// ProgIDs of the three driver classes.
inline constexpr char kModbusProgId[] = "ZireviVer.ZireviVerPro";
inline constexpr char kPpiProgId[] = "Ostrel.S7Proto";
inline constexpr char kS7TcpProgId[] = "Kestavo.S7Tcp";

// The model list of step 0 and the descriptor of each entry, in list order.
struct Catalogue {
  std::array<QString, kCatalogueSize> listTexts;
  std::array<DriverDescriptor, kCatalogueSize> entries;
};

// Builds the entries. The driver class of a ProgID that is not registered stays all zero;
// choosing that model then fails when its driver is created.
Catalogue BuildCatalogue();

// Index of the entry whose driver class (16 bytes) and model (bytes) are the device's; -1 when
// none is.
int FindCatalogueEntry(const Catalogue& catalogue, const DeviceRecord& device);

}  // namespace ondrel
