#include "tools/ppisim/iso_tcp.h"

namespace ppisim {
namespace {

void PushBe16(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

uint16_t Be16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// Prefixes the TPKT header.
std::vector<uint8_t> Tpkt(std::vector<uint8_t> body) {
  std::vector<uint8_t> packet = {kTpktVersion, 0};
  PushBe16(packet, static_cast<uint32_t>(body.size() + 4));
  packet.insert(packet.end(), body.begin(), body.end());
  return packet;
}

// The 12-byte ack-data header.
std::vector<uint8_t> AckHeader(uint16_t reference, size_t parameterLength, size_t dataLength) {
  std::vector<uint8_t> f = {0x32, 0x03, 0x00, 0x00};
  PushBe16(f, reference);
  PushBe16(f, static_cast<uint32_t>(parameterLength));
  PushBe16(f, static_cast<uint32_t>(dataLength));
  f.push_back(0x00);  // error class
  f.push_back(0x00);  // error code
  return f;
}

}  // namespace

void TpktScanner::Feed(std::span<const uint8_t> bytes) {
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

bool TpktScanner::Next(std::vector<uint8_t>* packet, bool* broken) {
  *broken = false;
  if (buffer_.size() < 4)
    return false;
  const size_t length = Be16(&buffer_[2]);
  if (buffer_[0] != kTpktVersion || length < 7 || length > kMaxTpkt) {
    *broken = true;
    return false;
  }
  if (buffer_.size() < length)
    return false;
  packet->assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length));
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length));
  return true;
}

bool DecodeConnectRequest(std::span<const uint8_t> cotp, ConnectRequest* request,
                          std::string* why) {
  if (cotp.size() < 7 || cotp[1] != kCotpCr) {
    *why = "not a connection request";
    return false;
  }
  const size_t li = cotp[0];
  if (li + 1 != cotp.size() || li < 6) {
    *why = "connection request length indicator does not match";
    return false;
  }
  ConnectRequest parsed;
  parsed.sourceReference = Be16(&cotp[4]);
  bool called = false;
  for (size_t pos = 7; pos < cotp.size();) {
    if (pos + 2 > cotp.size() || pos + 2 + cotp[pos + 1] > cotp.size()) {
      *why = "connection request parameter cut off";
      return false;
    }
    const uint8_t code = cotp[pos];
    const uint8_t n = cotp[pos + 1];
    const uint8_t* v = &cotp[pos + 2];
    if (code == 0xC0 && n == 1)
      parsed.tpduSizeCode = v[0];
    if (code == 0xC1 && n == 2)
      parsed.callingTsap = Be16(v);
    if (code == 0xC2 && n == 2) {
      parsed.calledTsap = Be16(v);
      called = true;
    }
    pos += 2 + n;
  }
  if (!called) {
    *why = "connection request without a called TSAP";
    return false;
  }
  *request = parsed;
  return true;
}

std::vector<uint8_t> BuildConnectConfirm(const ConnectRequest& request, uint16_t ownReference) {
  std::vector<uint8_t> cotp = {0, kCotpCc};
  PushBe16(cotp, request.sourceReference);
  PushBe16(cotp, ownReference);
  cotp.push_back(0x00);  // class 0
  cotp.insert(
      cotp.end(),
      {0xC0, 0x01, request.tpduSizeCode != 0 ? request.tpduSizeCode : static_cast<uint8_t>(0x0A)});
  cotp.insert(cotp.end(), {0xC1, 0x02});
  PushBe16(cotp, request.callingTsap);
  cotp.insert(cotp.end(), {0xC2, 0x02});
  PushBe16(cotp, request.calledTsap);
  cotp[0] = static_cast<uint8_t>(cotp.size() - 1);
  return Tpkt(std::move(cotp));
}

std::vector<uint8_t> BuildConnectRefusal(const ConnectRequest& request) {
  std::vector<uint8_t> cotp = {6, kCotpDr};
  PushBe16(cotp, request.sourceReference);
  PushBe16(cotp, 0);
  cotp.push_back(0x81);  // reason: address unknown
  return Tpkt(std::move(cotp));
}

std::vector<uint8_t> WrapPdu(std::span<const uint8_t> pdu) {
  std::vector<uint8_t> body = {0x02, kCotpDt, 0x80};
  body.insert(body.end(), pdu.begin(), pdu.end());
  return Tpkt(std::move(body));
}

bool UnwrapPdu(std::span<const uint8_t> cotp, std::span<const uint8_t>* pdu) {
  if (cotp.size() < 3 || cotp[0] != 0x02 || cotp[1] != kCotpDt)
    return false;
  *pdu = cotp.subspan(3);
  return true;
}

bool DecodeTcpJob(std::span<const uint8_t> pdu, TcpJob* job, std::string* why) {
  if (pdu.size() < 12 || pdu[0] != 0x32 || pdu[1] != 0x01) {
    *why = "not an S7 job";
    return false;
  }
  const size_t parameterLength = Be16(&pdu[6]);
  const size_t dataLength = Be16(&pdu[8]);
  if (10 + parameterLength + dataLength != pdu.size() || parameterLength < 2) {
    *why = "S7 job lengths do not add up";
    return false;
  }
  TcpJob parsed;
  parsed.reference = Be16(&pdu[4]);
  const std::span<const uint8_t> parameter = pdu.subspan(10, parameterLength);
  const std::span<const uint8_t> data = pdu.subspan(10 + parameterLength, dataLength);
  const uint8_t function = parameter[0];
  if (function == 0xF0) {
    if (parameterLength != 8) {
      *why = "setup communication of a wrong length";
      return false;
    }
    parsed.kind = TcpJob::Kind::kSetup;
    parsed.pduSize = Be16(&parameter[6]);
    *job = std::move(parsed);
    return true;
  }
  if (function != 0x04 && function != 0x05) {
    *why = "function not served";
    return false;
  }
  const bool read = function == 0x04;
  parsed.kind = read ? TcpJob::Kind::kRead : TcpJob::Kind::kWrite;
  const size_t count = parameter[1];
  if (count == 0 || parameterLength != 2 + 12 * count) {
    *why = "item count does not match the parameter length";
    return false;
  }
  size_t pos = 0;  // in `data`
  for (size_t k = 0; k < count; ++k) {
    const uint8_t* given = &parameter[2 + 12 * k];
    if (given[0] != 0x12 || given[1] != 0x0A || given[2] != 0x10) {
      *why = "item is not an S7-ANY variable";
      return false;
    }
    Job item;
    item.type = read ? Job::Type::kRead : Job::Type::kWrite;
    item.pduReference = parsed.reference;
    item.transportSize = given[3];
    item.count = Be16(given + 4);
    item.db = Be16(given + 6);
    item.areaCode = given[8];
    item.bitAddress = uint32_t{given[9]} << 16 | Be16(given + 10);
    if (!read) {
      if (pos + 4 > data.size()) {
        *why = "write data cut off";
        return false;
      }
      item.dataTransport = data[pos + 1];
      item.dataLength = Be16(&data[pos + 2]);
      // Bit, byte/word/dword and integer data count their length in bits, the others in bytes.
      const bool bits =
          item.dataTransport == 0x03 || item.dataTransport == 0x04 || item.dataTransport == 0x05;
      const size_t n = bits ? (item.dataLength + 7u) / 8u : item.dataLength;
      pos += 4;
      if (pos + n > data.size()) {
        *why = "write data cut off";
        return false;
      }
      item.data.assign(data.begin() + static_cast<std::ptrdiff_t>(pos),
                       data.begin() + static_cast<std::ptrdiff_t>(pos + n));
      pos += n;
      if (n % 2 != 0 && k + 1 < count)
        ++pos;  // fill byte
    }
    parsed.items.push_back(std::move(item));
  }
  *job = std::move(parsed);
  return true;
}

std::vector<uint8_t> BuildSetupReply(uint16_t reference, uint16_t pduSize) {
  std::vector<uint8_t> f = AckHeader(reference, 8, 0);
  f.insert(f.end(), {0xF0, 0x00, 0x00, 0x01, 0x00, 0x01});
  PushBe16(f, pduSize);
  return f;
}

std::vector<uint8_t> BuildTcpReply(const TcpJob& job, std::span<const ItemResult> results) {
  const bool read = job.kind == TcpJob::Kind::kRead;
  std::vector<uint8_t> data;
  for (size_t k = 0; k < results.size(); ++k) {
    const ItemResult& r = results[k];
    data.push_back(r.returnCode);
    if (!read)
      continue;
    const bool ok = r.returnCode == kRcSuccess;
    data.push_back(ok ? r.dataTransport : 0x00);
    PushBe16(data, ok ? r.lengthField : 0);
    if (!ok)
      continue;
    data.insert(data.end(), r.data.begin(), r.data.end());
    if (r.data.size() % 2 != 0 && k + 1 < results.size())
      data.push_back(0x00);  // fill byte: the next item starts at an even offset
  }
  std::vector<uint8_t> f = AckHeader(job.reference, 2, data.size());
  f.push_back(read ? 0x04 : 0x05);
  f.push_back(static_cast<uint8_t>(results.size()));
  f.insert(f.end(), data.begin(), data.end());
  return f;
}

}  // namespace ppisim
