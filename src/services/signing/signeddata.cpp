#include "services/signing/signeddata.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

namespace zmr {
namespace {

using Bytes = std::span<const unsigned char>;

constexpr unsigned char kOid = 0x06, kSequence = 0x30, kSet = 0x31, kOctets = 0x04, kUtcTime = 0x17, kImplicit0 = 0xA0;

// Whole DER elements that never change.
constexpr unsigned char kSignedDataType[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
constexpr unsigned char kVersion1[] = {0x02, 0x01, 0x01};
constexpr unsigned char kNull[] = {0x05, 0x00};
// ContentInfo { id-data } without its content: detached.
constexpr unsigned char kDetachedData[] = {0x30, 0x0B, 0x06, 0x09, 0x2A, 0x86, 0x48,
                                           0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
constexpr unsigned char kRsaEncryption[] = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                            0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};
constexpr unsigned char kDataType[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
constexpr unsigned char kContentTypeOid[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x03};
constexpr unsigned char kMessageDigestOid[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x04};
constexpr unsigned char kSigningTimeOid[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x05};
constexpr unsigned char kChannelOid[] = {0x06, 0x0A, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x19, 0x03};
constexpr unsigned char kOtherSigningCertOid[] = {0x06, 0x0B, 0x2A, 0x86, 0x48, 0x86, 0xF7,
                                                  0x0D, 0x01, 0x09, 0x10, 0x02, 0x13};
constexpr unsigned char kSigningCertV2Oid[] = {0x06, 0x0B, 0x2A, 0x86, 0x48, 0x86, 0xF7,
                                               0x0D, 0x01, 0x09, 0x10, 0x02, 0x2F};
constexpr unsigned char kChannel[] = {'Z', 'M', 'R', ' ', 'C', 'h', 'a', 'n', 'n', 'e', 'l'};

size_t lengthsize(size_t length) {
  size_t n = 1;
  if (length >= 0x80)
    for (; length != 0; length >>= 8) ++n;
  return n;
}
// An element's whole size from its content's.
size_t tlv(size_t content) { return 1 + lengthsize(content) + content; }

// Writes forward into a buffer sized beforehand.
struct Writer {
  unsigned char* p;
  void header(unsigned char tag, size_t length) {
    *p++ = tag;
    if (length < 0x80) {
      *p++ = static_cast<unsigned char>(length);
      return;
    }
    size_t n = lengthsize(length) - 1;
    *p++ = static_cast<unsigned char>(0x80 | n);
    for (size_t i = n; i-- > 0;) *p++ = static_cast<unsigned char>(length >> (8 * i));
  }
  void put(Bytes bytes) {
    if (!bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
    p += bytes.size();
  }
  void element(unsigned char tag, Bytes content) {
    header(tag, content.size());
    put(content);
  }
};

// One attribute, SEQUENCE { type, SET { value } }; the value is given
// whole, or as the content under tag.
struct Attribute {
  Bytes type;
  int tag = -1;  // -1: value is whole
  Bytes value;
  size_t valuesize() const { return tag < 0 ? value.size() : tlv(value.size()); }
  size_t contentsize() const { return type.size() + tlv(valuesize()); }
  size_t size() const { return tlv(contentsize()); }
  void write(Writer& w) const {
    w.header(kSequence, contentsize());
    w.put(type);
    w.header(kSet, valuesize());
    if (tag < 0)
      w.put(value);
    else
      w.element(static_cast<unsigned char>(tag), value);
  }
};

}  // namespace

bool utctime(std::time_t now, std::array<unsigned char, 13>& out) {
  struct tm parts;
  if (OPENSSL_gmtime(&now, &parts) == nullptr || parts.tm_year < 50 || parts.tm_year >= 150) return false;
  const int fields[6] = {parts.tm_year % 100, parts.tm_mon + 1, parts.tm_mday,
                         parts.tm_hour,       parts.tm_min,     parts.tm_sec};
  for (int i = 0; i < 6; ++i) {
    out[2 * i] = static_cast<unsigned char>('0' + fields[i] / 10);
    out[2 * i + 1] = static_cast<unsigned char>('0' + fields[i] % 10);
  }
  out[12] = 'Z';
  return true;
}

std::vector<unsigned char> signedattributes(const SignedAttributeValues& values) {
  Attribute attributes[5];
  size_t count = 0;
  attributes[count++] = {kContentTypeOid, -1, kDataType};
  attributes[count++] = {values.v2 ? Bytes(kSigningCertV2Oid) : Bytes(kOtherSigningCertOid), -1, values.signingcert};
  if (values.nonce) attributes[count++] = {kChannelOid, kOctets, kChannel};
  if (values.signingtime != nullptr) attributes[count++] = {kSigningTimeOid, kUtcTime, *values.signingtime};
  attributes[count++] = {kMessageDigestOid, kOctets, values.digest};

  // Each encoded once into scratch, then copied out in DER's order of a
  // SET OF: by their encodings as octet strings, as OpenSSL compares them
  // (the common bytes, then the shorter first).
  size_t total = 0;
  for (size_t i = 0; i < count; ++i) total += attributes[i].size();
  std::vector<unsigned char> scratch(total);
  Bytes encoded[5];
  Writer w{scratch.data()};
  for (size_t i = 0; i < count; ++i) {
    unsigned char* start = w.p;
    attributes[i].write(w);
    encoded[i] = {start, static_cast<size_t>(w.p - start)};
  }
  std::sort(encoded, encoded + count, [](Bytes a, Bytes b) {
    int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
    return c != 0 ? c < 0 : a.size() < b.size();
  });
  std::vector<unsigned char> out(tlv(total));
  Writer o{out.data()};
  o.header(kSet, total);
  for (size_t i = 0; i < count; ++i) o.put(encoded[i]);
  return out;
}

std::vector<unsigned char> signeddata(const SignedDataParts& parts) {
  // Content sizes, innermost first.
  const size_t algorithm = tlv(parts.digestoid.size()) + sizeof kNull;
  const size_t issuerandserial = parts.issuer.size() + parts.serial.size();
  const size_t signerinfo = sizeof kVersion1 + tlv(issuerandserial) + tlv(algorithm) + parts.attributes.size() +
                            sizeof kRsaEncryption + tlv(parts.signature.size());
  const size_t signerinfos = tlv(signerinfo);
  const size_t content = sizeof kVersion1 + tlv(tlv(algorithm)) + sizeof kDetachedData +
                         tlv(parts.certificates.size()) + tlv(signerinfos);
  const size_t explicit0 = tlv(content);
  const size_t contentinfo = sizeof kSignedDataType + tlv(explicit0);

  std::vector<unsigned char> out(tlv(contentinfo));
  Writer w{out.data()};
  w.header(kSequence, contentinfo);
  w.put(kSignedDataType);
  w.header(kImplicit0, explicit0);  // [0] EXPLICIT SignedData
  w.header(kSequence, content);
  w.put(kVersion1);
  w.header(kSet, tlv(algorithm));  // digestAlgorithms
  w.header(kSequence, algorithm);
  w.element(kOid, parts.digestoid);
  w.put(kNull);
  w.put(kDetachedData);
  w.element(kImplicit0, parts.certificates);
  w.header(kSet, signerinfos);
  w.header(kSequence, signerinfo);
  w.put(kVersion1);
  w.header(kSequence, issuerandserial);
  w.put(parts.issuer);
  w.put(parts.serial);
  w.header(kSequence, algorithm);
  w.element(kOid, parts.digestoid);
  w.put(kNull);
  // The signed SET OF under its implicit [0], the bytes otherwise as signed.
  unsigned char* attributes = w.p;
  w.put(parts.attributes);
  if (!parts.attributes.empty()) *attributes = kImplicit0;
  w.put(kRsaEncryption);
  w.element(kOctets, parts.signature);
  return out;
}

}  // namespace zmr
