#include "tools/ppisim/sim_protocol.h"

#include <cstdio>

namespace ppisim {
namespace {

uint16_t Be16(std::span<const uint8_t> f, size_t at) {
  return static_cast<uint16_t>((f[at] << 8) | f[at + 1]);
}

uint32_t Be24(std::span<const uint8_t> f, size_t at) {
  return (uint32_t{f[at]} << 16) | (uint32_t{f[at + 1]} << 8) | f[at + 2];
}

void PushBe16(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

std::string Reason(const char* format, unsigned value) {
  char text[96];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// Bytes per element of an item's transport size; 0 for sizes this PLC does not serve.
size_t ElementSize(uint8_t transportSize) {
  switch (transportSize) {
    case 0x02:  // byte
    case 0x03:  // char
      return 1;
    case 0x04:  // word
    case 0x05:  // int
      return 2;
    case 0x06:  // dword
    case 0x07:  // dint
    case 0x08:  // real
      return 4;
    default:
      return 0;
  }
}

// Turns an SD2 frame body into its final form: LE twice, FCS over DA.., end delimiter.
std::vector<uint8_t> SealSd2(std::vector<uint8_t> frame) {
  const size_t length = frame.size() - 4;  // DA up to the last PDU byte
  frame[1] = frame[2] = static_cast<uint8_t>(length);
  frame.push_back(Fcs(std::span<const uint8_t>(frame).subspan(4)));
  frame.push_back(kEndDelimiter);
  return frame;
}

// Fixed bytes of the 52-byte user-data bit write; -1 marks bytes that vary (PDU reference, area,
// bit address, value) or lie outside the checked range.
constexpr int kUserDataTemplate[52] = {
    -1,   -1,   -1,   -1,   -1,   -1,   -1,   0x32, 0x07, 0x00, 0x00, -1,   -1,
    0x00, 0x0C, 0x00, 0x15, 0x00, 0x01, 0x12, 0x08, 0x12, 0x48, 0x0E, 0x00, 0x00,
    0x00, 0x00, 0x00, 0xFF, 0x09, 0x00, 0x0C, 0x00, 0x01, 0x10, 0x01, 0x00, 0x01,
    0x00, 0x00, -1,   0x00, -1,   -1,   0x00, 0x03, 0x00, 0x01, -1,   -1,   -1};

bool DecodeUserData(std::span<const uint8_t> f, Job* job, std::string* why) {
  if (f.size() != 52) {
    *why = Reason("user-data PDU of %u frame bytes is not the bit write", unsigned(f.size()));
    return false;
  }
  for (size_t k = 0; k < f.size(); ++k) {
    if (kUserDataTemplate[k] >= 0 && f[k] != kUserDataTemplate[k]) {
      *why = Reason("user-data PDU differs from the bit write at byte %u", unsigned(k));
      return false;
    }
  }
  job->type = Job::Type::kUserDataBitWrite;
  job->areaCode = f[41];
  job->bitAddress = Be16(f, 43);  // 16 bits only in this job
  job->transportSize = 0x01;
  job->count = 1;
  job->dataTransport = 0x03;
  job->dataLength = 1;
  job->data.assign(1, f[49]);
  return true;
}

}  // namespace

uint8_t Fcs(std::span<const uint8_t> bytes) {
  uint8_t sum = 0;
  for (uint8_t b : bytes)
    sum = static_cast<uint8_t>(sum + b);  // low byte of the sum
  return sum;
}

void FrameScanner::Feed(std::span<const uint8_t> bytes) {
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

int FrameScanner::FrameAtFront() const {
  const auto& b = buffer_;
  if (b.empty())
    return -1;
  if (b[0] == kSd1) {
    if (b.size() < 6)
      return -1;
    const bool ok = b[5] == kEndDelimiter && Fcs(std::span<const uint8_t>(b).subspan(1, 3)) == b[4];
    return ok ? 6 : 0;
  }
  if (b[0] == kSd2) {
    // Reject a broken header as soon as its bytes are in, rather than waiting for LE bytes that
    // a false start promises.
    if (b.size() >= 3 && b[1] != b[2])
      return 0;
    if (b.size() >= 2 && b[1] < 3)
      return 0;  // DA, SA and FC at least
    if (b.size() >= 4 && b[3] != kSd2)
      return 0;
    if (b.size() < 4)
      return -1;
    const size_t total = size_t{b[1]} + 6;
    if (b.size() < total)
      return -1;
    const bool ok = b[total - 1] == kEndDelimiter &&
                    Fcs(std::span<const uint8_t>(b).subspan(4, total - 6)) == b[total - 2];
    return ok ? static_cast<int>(total) : 0;
  }
  return 0;
}

bool FrameScanner::Next(bool lineIdle, Chunk* chunk) {
  if (buffer_.empty())
    return false;
  const int frame = FrameAtFront();
  if (frame < 0 && !lineIdle)
    return false;
  size_t take = 1;
  if (frame > 0) {
    take = static_cast<size_t>(frame);
    chunk->kind = buffer_[0] == kSd1 ? Chunk::Kind::kSd1 : Chunk::Kind::kSd2;
  } else {
    // The front byte starts no frame: it and everything up to the next possible start delimiter
    // are garbage.
    while (take < buffer_.size() && buffer_[take] != kSd1 && buffer_[take] != kSd2)
      ++take;
    chunk->kind = Chunk::Kind::kGarbage;
  }
  chunk->bytes.assign(buffer_.begin(), buffer_.begin() + take);
  buffer_.erase(buffer_.begin(), buffer_.begin() + take);
  return true;
}

bool DecodeJob(std::span<const uint8_t> f, Job* job, std::string* why) {
  // The scanner guarantees 68 LE LE 68 ... FCS 16 with LE >= 3.
  Job decoded;
  decoded.station = f[4];
  decoded.master = f[5];
  const uint8_t fc = f[6];
  // A job is a request (bit 6) of kind send-and-request-data (low nibble C); FCB/FCV may toggle.
  if ((fc & 0x4F) != 0x4C) {
    *why = Reason("FC 0x%02X is not a job", fc);
    return false;
  }
  const size_t pduEnd = f.size() - 2;
  if (pduEnd < 17) {
    *why = "PDU shorter than its header";
    return false;
  }
  if (f[7] != 0x32) {
    *why = Reason("protocol id 0x%02X", f[7]);
    return false;
  }
  const uint8_t pduType = f[8];
  decoded.pduReference = Be16(f, 11);
  const size_t parameterLength = Be16(f, 13);
  const size_t dataLength = Be16(f, 15);
  if (17 + parameterLength + dataLength != pduEnd) {
    *why = "parameter and data lengths do not match the frame length";
    return false;
  }
  if (pduType == 0x07) {
    if (!DecodeUserData(f, &decoded, why))
      return false;
    *job = std::move(decoded);
    return true;
  }
  if (pduType != 0x01) {
    *why = Reason("PDU type 0x%02X is not served", pduType);
    return false;
  }
  if (parameterLength < 2) {
    *why = "job without a function";
    return false;
  }
  const uint8_t function = f[17];
  if (function != 0x04 && function != 0x05) {
    *why = Reason("function 0x%02X is not served", function);
    return false;
  }
  if (f[18] != 1) {
    *why = Reason("%u items; only one item is served", f[18]);
    return false;
  }
  if (parameterLength != 14) {
    *why = "item parameter is not 12 bytes";
    return false;
  }
  if (f[19] != 0x12 || f[20] != 0x0A || f[21] != 0x10) {
    *why = "item is not an any-pointer (12 0A 10)";
    return false;
  }
  decoded.transportSize = f[22];
  decoded.count = Be16(f, 23);
  decoded.db = Be16(f, 25);
  decoded.areaCode = f[27];
  decoded.bitAddress = Be24(f, 28);
  if (function == 0x04) {
    if (dataLength != 0) {
      *why = "read job with a data part";
      return false;
    }
    decoded.type = Job::Type::kRead;
  } else {
    if (dataLength < 4) {
      *why = "write job without a data header";
      return false;
    }
    decoded.type = Job::Type::kWrite;
    decoded.dataTransport = f[32];
    decoded.dataLength = Be16(f, 33);
    decoded.data.assign(f.begin() + 35, f.begin() + static_cast<ptrdiff_t>(pduEnd));
  }
  *job = std::move(decoded);
  return true;
}

ItemResult ExecuteJob(const Job& job, Memory& memory, size_t maxReadBytes) {
  ItemResult result;
  auto fail = [&result](uint8_t code) {
    result.returnCode = code;
    result.data.clear();
    return result;
  };
  Area area;
  if (!AreaFromCode(job.areaCode, &area))
    return fail(kRcObjectDoesNotExist);
  const bool write = job.type != Job::Type::kRead;
  if (write && (area == Area::kAI || (area == Area::kSM && job.bitAddress / 8 < kFirstWritableSm)))
    return fail(kRcAccessDenied);
  if (job.type == Job::Type::kUserDataBitWrite) {
    if (!memory.WriteBit(area, job.bitAddress, job.data[0] & 1)) {
      return fail(kRcAddressOutOfRange);
    }
    return result;
  }
  // V is data block 1, further data blocks exist once added; the other areas have no block
  // number.
  const uint16_t db = job.db;
  if (area == Area::kV ? (db == 0 || !memory.Has(area, db)) : db != 0)
    return fail(kRcObjectDoesNotExist);

  if (job.transportSize == 0x01) {  // one bit, addressed by byte × 8 + bit
    if (job.count != 1)
      return fail(kRcTypeInconsistent);
    if (job.type == Job::Type::kRead) {
      bool bit = false;
      if (!memory.ReadBit(area, job.bitAddress, &bit, db))
        return fail(kRcAddressOutOfRange);
      result.dataTransport = 0x03;
      result.lengthField = 1;
      result.data.assign(1, bit ? 1 : 0);
      return result;
    }
    if (job.dataTransport != 0x03 || job.dataLength != 1 || job.data.empty()) {
      return fail(kRcTypeInconsistent);
    }
    // The value travels in a whole byte; its lowest bit is the bit's new state.
    if (!memory.WriteBit(area, job.bitAddress, job.data[0] & 1, db)) {
      return fail(kRcAddressOutOfRange);
    }
    return result;
  }

  const size_t element = ElementSize(job.transportSize);
  if (element == 0)
    return fail(kRcTypeNotSupported);
  // Byte-wise access must start on a byte boundary.
  if (job.bitAddress % 8 != 0 || job.count == 0)
    return fail(kRcAddressOutOfRange);
  const uint32_t address = job.bitAddress / 8;
  const size_t bytes = element * job.count;
  // Analog inputs and outputs are words: whole words at even addresses only.
  if (IsWordArea(area) && (address % 2 != 0 || bytes % 2 != 0))
    return fail(kRcAddressOutOfRange);

  if (job.type == Job::Type::kRead) {
    if (bytes > maxReadBytes)
      return fail(kRcAddressOutOfRange);
    result.data.resize(bytes);
    if (!memory.Read(area, address, result.data, db))
      return fail(kRcAddressOutOfRange);
    result.dataTransport = 0x04;  // length counted in bits
    result.lengthField = static_cast<uint16_t>(bytes * 8);
    return result;
  }

  size_t sent = 0;
  switch (job.dataTransport) {
    case 0x04:  // byte/word/dword, length in bits
    case 0x05:  // integer, length in bits
      if (job.dataLength % 8 != 0)
        return fail(kRcTypeInconsistent);
      sent = job.dataLength / 8;
      break;
    case 0x07:  // real, length in bytes
    case 0x09:  // octet string, length in bytes
      sent = job.dataLength;
      break;
    default:
      return fail(kRcTypeNotSupported);
  }
  if (sent != bytes || job.data.size() < bytes)
    return fail(kRcTypeInconsistent);
  if (!memory.Write(area, address, std::span<const uint8_t>(job.data).first(bytes), db)) {
    return fail(kRcAddressOutOfRange);
  }
  return result;
}

std::vector<uint8_t> BuildReply(const Job& job, const ItemResult& result) {
  std::vector<uint8_t> f = {kSd2, 0, 0, kSd2, job.master, job.station, kResponseFc, 0x32};
  if (job.type == Job::Type::kUserDataBitWrite) {
    // User-data response: 10-byte header, the request's 12 parameter bytes with the type turned
    // into a response (0x48 -> 0x88) and an error word, then a 4-byte data header.
    f.insert(f.end(), {0x07, 0x00, 0x00});
    PushBe16(f, job.pduReference);
    PushBe16(f, 12);
    PushBe16(f, 4);
    f.insert(f.end(), {0x00, 0x01, 0x12, 0x08, 0x12, 0x88, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x00});
    const bool ok = result.returnCode == kRcSuccess;
    f.insert(f.end(), {result.returnCode, static_cast<uint8_t>(ok ? 0x09 : 0x00), 0x00, 0x00});
    return SealSd2(std::move(f));
  }
  // Ack-data PDU: 12-byte header (with error class and code), parameter = function and item
  // count, then per item: return code, transport size, length, data. With the 7 bytes in front
  // of the PDU this puts the return code at byte 21 and the data at byte 25.
  const bool read = job.type == Job::Type::kRead;
  const bool ok = result.returnCode == kRcSuccess;
  f.insert(f.end(), {0x03, 0x00, 0x00});
  PushBe16(f, job.pduReference);
  PushBe16(f, 2);
  PushBe16(f, read ? 4 + (ok ? result.data.size() : 0) : 1);
  f.insert(f.end(), {0x00, 0x00, static_cast<uint8_t>(read ? 0x04 : 0x05), 0x01});
  f.push_back(result.returnCode);
  if (read) {
    f.push_back(ok ? result.dataTransport : 0x00);
    PushBe16(f, ok ? result.lengthField : 0);
    if (ok)
      f.insert(f.end(), result.data.begin(), result.data.end());
  }
  return SealSd2(std::move(f));
}

std::vector<uint8_t> BuildStatusAnswer(uint8_t master, uint8_t station) {
  std::vector<uint8_t> f = {kSd1, master, station, kStationStatus};
  f.push_back(Fcs(std::span<const uint8_t>(f).subspan(1)));
  f.push_back(kEndDelimiter);
  return f;
}

}  // namespace ppisim
