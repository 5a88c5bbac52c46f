// Two checks on one input.
// 1. The input is a receive buffer: ExtractFrame is called until it gives nothing; every piece must
//    be a stretch of the buffer that ends at a stop byte, the buffer must shrink with every piece,
//    and every piece is decoded.
// 2. The input is cut into payloads with header fields; each is encoded (KRV or KRVW), all frames
//    are sent as one stream between junk bytes, and the stream read back in decode-both mode must
//    give exactly the encoded frames and payloads, in order.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "codec/KRVProtocol.h"

using namespace vornik;

namespace {

void Check(bool Condition) {
  if (!Condition) std::abort();
}

constexpr TKRVMode kModes[] = {TKRVMode::PMKRVOnly, TKRVMode::PMKRVWOnly, TKRVMode::PMDecodeBothEncodeKRV,
                               TKRVMode::PMDecodeBothEncodeKRVW};

class TReader {
 public:
  TReader(const uint8_t* Data, size_t Size) : data_(Data), size_(Size) {}
  bool Empty() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint32_t Word32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | Byte();
    return v;
  }
  std::string Bytes(size_t n) {
    n = std::min(n, size_ - std::min(pos_, size_));
    std::string s(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return s;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

void ExtractAll(std::string_view Input) {
  for (const TKRVMode mode : kModes) {
    TKRVProtocol p;
    p.KRVMode = mode;
    std::string buffer(Input);
    for (;;) {
      const size_t before = buffer.size();
      const std::string piece = p.ExtractFrame(buffer);
      if (piece.empty()) {
        Check(buffer.size() == before);
        break;
      }
      Check(buffer.size() < before);
      const uint8_t last = static_cast<uint8_t>(piece.back());
      Check(last == kKRVStop || last == kKRVWStop);
      Check(Input.find(piece) != std::string_view::npos);
      p.Decode(piece);
      Check(p.DecodeResult() <= drTooShort);
    }
  }
}

void RoundTrip(const uint8_t* Data, size_t Size) {
  TReader in(Data, Size);
  TKRVProtocol krv;
  krv.SeedRandom(7);
  TKRVProtocol krvw;
  krvw.KRVMode = TKRVMode::PMKRVWOnly;
  std::vector<std::string> frames;
  std::vector<std::string> payloads;
  std::string stream;
  while (!in.Empty() && frames.size() < 64) {
    const uint8_t control = in.Byte();
    const bool useKRVW = control & 1;
    const size_t length = in.Byte() | ((control & 0x06) << 7);  // up to 1023 payload bytes
    TKRVProtocol& e = useKRVW ? krvw : krv;
    e.Cimzett = useKRVW ? in.Word32() : in.Byte() % 251;
    e.Felado = useKRVW ? 256 + in.Word32() % 0x10000 : 1 + in.Byte() % 250;
    e.CsomagSorszam = in.Byte();
    e.Info = static_cast<TInfo>(in.Byte() % (useKRVW ? 5 : 4));
    e.Enable_ASYER = control & 0x08;
    e.Header_extension = useKRVW ? in.Bytes((control >> 4) & 0x07) : std::string();
    const std::string payload = in.Bytes(length);
    std::string frame;
    try {
      frame = e.Encode(payload);
    } catch (const EKRVProtocol&) {
      // Only a payload that cannot fit is refused here.
      const size_t raw = useKRVW ? 14 + e.Header_extension.size() + payload.size() : payload.size();
      const size_t grouped = raw + (raw + 6) / 7;
      Check(grouped > (useKRVW ? kMaxKRVWPackedBlock : kMaxKRVEncodedPayload));
      continue;
    }
    Check(frame.size() <= kMaxFrameLength);
    frames.push_back(frame);
    payloads.push_back(payload);
    // Junk between frames that holds no stop byte of either format.
    stream += frame;
    stream += std::string(control >> 7, '\x41');
  }

  TKRVProtocol d;
  d.KRVMode = TKRVMode::PMDecodeBothEncodeKRV;
  std::string buffer = "\x01\x02" + stream;
  for (size_t i = 0; i < frames.size(); ++i) {
    const std::string piece = d.ExtractFrame(buffer);
    Check(piece == frames[i]);
    Check(d.Decode(piece) == payloads[i]);
    Check(d.DecodeResult() == drOK);
  }
  Check(d.ExtractFrame(buffer).empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  ExtractAll(std::string_view(reinterpret_cast<const char*>(Data), Size));
  RoundTrip(Data, Size);
  return 0;
}
