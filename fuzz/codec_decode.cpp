// Decodes arbitrary bytes as a frame in every codec mode. A frame that is accepted must survive
// a re-encode with the decoded header fields: decoding that again gives the same payload and header.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "codec/KRVProtocol.h"

using namespace vornik;

namespace {

void Check(bool Condition) {
  if (!Condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view input(reinterpret_cast<const char*>(Data), Size);
  for (const TKRVMode mode : {TKRVMode::PMKRVOnly, TKRVMode::PMKRVWOnly, TKRVMode::PMDecodeBothEncodeKRV,
                              TKRVMode::PMDecodeBothEncodeKRVW}) {
    TKRVProtocol d;
    d.KRVMode = mode;
    const std::string payload = d.Decode(input);
    Check(d.DecodeResult() <= drTooShort);
    if (d.DecodeResult() != drOK) {
      Check(payload.empty());
      continue;
    }
    Check(Size <= kMaxFrameLength);

    // Re-encode in the format the frame arrived in.
    TKRVProtocol e;
    e.SeedRandom(1);
    e.KRVMode = d.LastWasKRVW() ? TKRVMode::PMKRVWOnly : TKRVMode::PMKRVOnly;
    e.Cimzett = d.Cimzett;
    e.Felado = d.Felado;
    e.Felado_rovid_cim = d.Felado_rovid_cim;
    e.CsomagSorszam = d.CsomagSorszam;
    e.Info = d.Info;
    e.Enable_ASYER = d.Enable_ASYER;
    e.Header_extension = d.LastWasKRVW() ? d.Header_extension : std::string();
    const std::string frame = e.Encode(payload);  // an accepted frame always fits again
    Check(frame.size() <= kMaxFrameLength);

    TKRVProtocol again;
    again.KRVMode = e.KRVMode;
    Check(again.Decode(frame) == payload);
    Check(again.DecodeResult() == drOK);
    // A KRV destination 0 travels as 0x80, so it comes back as 128.
    const uint32_t to = (!d.LastWasKRVW() && d.Cimzett == 0) ? 128 : d.Cimzett;
    Check(again.Cimzett == to && again.Felado == d.Felado && again.Info == d.Info);
    Check(again.CsomagSorszam == e.CsomagSorszam);
    if (d.LastWasKRVW()) Check(again.Header_extension == d.Header_extension);
  }
  return 0;
}
