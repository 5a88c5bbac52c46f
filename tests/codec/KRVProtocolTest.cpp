#include "codec/KRVProtocol.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "codec/CodecTestHelpers.h"

using namespace vornik;
using vornik::test::Hex;
using vornik::test::ToHex;

namespace {

constexpr TKRVMode kAllModes[] = {TKRVMode::PMKRVOnly, TKRVMode::PMKRVWOnly,
                                  TKRVMode::PMDecodeBothEncodeKRV, TKRVMode::PMDecodeBothEncodeKRVW};

struct TGolden {
  const char* name;
  TKRVMode mode;
  uint32_t to;
  TInfo info;
  uint8_t id;
  bool asyer;
  std::string payload;
  const char* frame;
};

const std::vector<TGolden>& Goldens() {
  static const std::vector<TGolden> g = {
      {"KRV_CSYSI", TKRVMode::PMKRVOnly, 1, TInfo::kerek_nyugtat, 5, false, "CSYSI",
       "FD 01 FA 05 05 80 06 01 01 43 53 59 53 49 80 98 FE"},
      {"KRV_ZeroAndHighBytes", TKRVMode::PMKRVOnly, 0, TInfo::nem_kerek_nyugtat, 7, false,
       std::string("\x00\x80\xFF\x41", 4), "FD 80 FA 04 07 80 05 01 01 80 80 7F 41 30 7C FE"},
      {"KRVW_CSYSI", TKRVMode::PMKRVWOnly, 1, TInfo::kerek_nyugtat, 5, true, "CSYSI",
       "FB 81 80 80 80 7A 80 80 7F 80 7A 41 85 80 85 80 7B 43 53 59 53 49 80 C5 FC"},
  };
  return g;
}

TKRVProtocol Encoder(TKRVMode Mode) {
  TKRVProtocol p;
  p.KRVMode = Mode;
  p.SeedRandom(1);
  return p;
}

TKRVProtocol Decoder(TKRVMode Mode) {
  TKRVProtocol p;
  p.KRVMode = Mode;
  return p;
}

std::string RandomBytes(std::mt19937& Rng, std::size_t Length) {
  std::string s(Length, '\0');
  for (char& c : s) c = static_cast<char>(Rng() & 0xFF);
  return s;
}

bool IsKRVW(TKRVMode Mode) {
  return Mode == TKRVMode::PMKRVWOnly || Mode == TKRVMode::PMDecodeBothEncodeKRVW;
}

}  // namespace

TEST(KRVProtocol, DefaultsAfterConstruction) {
  TKRVProtocol p;
  EXPECT_EQ(p.Cimzett, 1u);
  EXPECT_EQ(p.Felado, 250u);
  EXPECT_EQ(p.Felado_rovid_cim, 250);
  EXPECT_EQ(p.CsomagSorszam, 0);
  EXPECT_EQ(p.Info, TInfo::nem_kerek_nyugtat);
  EXPECT_FALSE(p.Enable_ASYER);
  EXPECT_FALSE(p.Disable_bitmatrix);
  EXPECT_TRUE(p.Header_extension.empty());
  EXPECT_EQ(p.KRVMode, TKRVMode::PMKRVOnly);
}

TEST(KRVProtocol, GoldenFramesEncodeExactly) {
  for (const auto& g : Goldens()) {
    SCOPED_TRACE(g.name);
    TKRVProtocol p = Encoder(g.mode);
    p.Cimzett = g.to;
    p.Info = g.info;
    p.CsomagSorszam = g.id;
    p.Enable_ASYER = g.asyer;
    EXPECT_EQ(ToHex(p.Encode(g.payload)), g.frame);
    EXPECT_EQ(p.LastWasKRVW(), IsKRVW(g.mode));
  }
}

TEST(KRVProtocol, GoldenFramesDecodeWholeByteByByteAndWithTrailingBytes) {
  for (const auto& g : Goldens()) {
    SCOPED_TRACE(g.name);
    const std::string frame = Hex(g.frame);
    for (const TKRVMode mode : {g.mode, TKRVMode::PMDecodeBothEncodeKRV}) {
      TKRVProtocol d = Decoder(mode);
      // Whole.
      EXPECT_EQ(d.Decode(frame), g.payload);
      EXPECT_EQ(d.DecodeResult(), drOK);
      EXPECT_EQ(d.Cimzett, g.to == 0 ? 128u : g.to);  // a destination 0 travels as 0x80
      EXPECT_EQ(d.Felado, 250u);
      EXPECT_EQ(d.CsomagSorszam, g.id);
      EXPECT_EQ(d.Info, g.info);
      EXPECT_EQ(d.LastWasKRVW(), IsKRVW(g.mode));

      // Byte by byte through the receive buffer: nothing comes out before the stop byte.
      std::string buffer;
      std::string got;
      for (std::size_t i = 0; i < frame.size(); ++i) {
        buffer.push_back(frame[i]);
        got = d.ExtractFrame(buffer);
        if (i + 1 < frame.size()) {
          ASSERT_EQ(got, "") << "at byte " << i;
        }
      }
      EXPECT_EQ(got, frame);
      EXPECT_TRUE(buffer.empty());

      // With trailing bytes that begin the next frame.
      buffer = frame + frame.substr(0, 4);
      EXPECT_EQ(d.ExtractFrame(buffer), frame);
      EXPECT_EQ(buffer, frame.substr(0, 4));
      EXPECT_EQ(d.ExtractFrame(buffer), "");
      // A frame with trailing bytes is not a frame.
      d.Decode(frame + "\x01");
      EXPECT_NE(d.DecodeResult(), drOK);
    }
  }
}

TEST(KRVProtocol, RandomPayloadsRoundTripInEveryMode) {
  std::mt19937 rng(20240611);
  for (const TKRVMode mode : kAllModes) {
    const bool krvw = IsKRVW(mode);
    const std::size_t maxLen = krvw ? 879 - 7 : 886;  // room for up to 7 extension bytes
    for (int round = 0; round < 300; ++round) {
      SCOPED_TRACE(testing::Message() << "mode " << int(mode) << " round " << round);
      const std::size_t len = round < 20 ? static_cast<std::size_t>(round) : rng() % (maxLen + 1);
      const std::string payload = RandomBytes(rng, len);
      TKRVProtocol e = Encoder(mode);
      e.Cimzett = krvw ? rng() : rng() % 251;
      e.Felado = krvw ? 256 + rng() % 100000 : 1 + rng() % 250;
      e.Felado_rovid_cim = static_cast<uint8_t>(rng());
      e.CsomagSorszam = static_cast<uint8_t>(1 + rng() % 250);
      e.Info = static_cast<TInfo>(rng() % (krvw ? 5 : 4));
      e.Enable_ASYER = rng() & 1;
      e.Header_extension = krvw ? RandomBytes(rng, rng() % 8) : "";
      const std::string frame = e.Encode(payload);

      TKRVProtocol d = Decoder(mode);
      ASSERT_EQ(d.Decode(frame), payload);
      ASSERT_EQ(d.DecodeResult(), drOK);
      EXPECT_EQ(d.Cimzett, (krvw || e.Cimzett != 0) ? e.Cimzett : 128u);
      EXPECT_EQ(d.Felado, e.Felado);
      EXPECT_EQ(d.CsomagSorszam, e.CsomagSorszam);
      EXPECT_EQ(d.Info, e.Info);
      EXPECT_EQ(d.LastWasKRVW(), krvw);
      if (krvw) {
        EXPECT_EQ(d.Felado_rovid_cim, e.Felado_rovid_cim);
        EXPECT_EQ(d.Enable_ASYER, e.Enable_ASYER);
        EXPECT_EQ(d.Header_extension, e.Header_extension);
        EXPECT_EQ(d.PayloadLength(), payload.size());
        EXPECT_EQ(d.HeaderExtensionLength(), e.Header_extension.size());
      }

      // Neither format may carry a start or stop byte inside the frame.
      for (std::size_t i = 1; i + 1 < frame.size(); ++i) {
        const uint8_t b = static_cast<uint8_t>(frame[i]);
        ASSERT_TRUE(b != 0xFB && b != 0xFC && b != 0xFD && b != 0xFE) << "byte " << i;
        if (krvw && i + 2 < frame.size()) {
          ASSERT_TRUE(b >= 0x20 && b <= 0x9F) << "byte " << i;
        }
      }
    }
  }
}

TEST(KRVProtocol, FramesMatchTheLayoutBuiltIndependently) {
  // Catches faults that an encoder and decoder sharing one helper would hide from a round trip:
  // every frame is compared with one built here from the frame layout.
  std::mt19937 rng(99);
  std::vector<int> krvSums(256, 0);
  std::vector<int> krvwSums(256, 0);
  for (int round = 0; round < 3000; ++round) {
    const std::string payload = RandomBytes(rng, rng() % 40);
    TKRVProtocol krv = Encoder(TKRVMode::PMKRVOnly);
    krv.Cimzett = rng() % 251;
    krv.Felado = 1 + rng() % 250;
    krv.Info = static_cast<TInfo>(rng() % 5);
    krv.CsomagSorszam = static_cast<uint8_t>(1 + rng() % 250);
    const std::string f = krv.Encode(payload);
    ASSERT_EQ(ToHex(f), ToHex(vornik::test::RefKRVFrame(static_cast<uint8_t>(krv.Cimzett),
                                                         static_cast<uint8_t>(krv.Felado),
                                                         static_cast<uint8_t>(krv.Info), krv.CsomagSorszam, payload)));
    ++krvSums[static_cast<uint8_t>(f[f.size() - 2])];

    TKRVProtocol w = Encoder(TKRVMode::PMKRVWOnly);
    w.Cimzett = rng();
    w.Felado = rng();
    w.Felado_rovid_cim = static_cast<uint8_t>(rng());
    w.Info = static_cast<TInfo>(rng() % 5);
    w.Enable_ASYER = rng() & 1;
    w.Disable_bitmatrix = rng() & 1;
    w.CsomagSorszam = static_cast<uint8_t>(rng() % 251);
    w.Header_extension = RandomBytes(rng, rng() % 4);
    const uint8_t info = static_cast<uint8_t>(static_cast<uint8_t>(w.Info) | (w.Enable_ASYER ? 0x40 : 0) |
                                              (w.Disable_bitmatrix ? 0x10 : 0));
    const std::string wf = w.Encode(payload);
    ASSERT_EQ(ToHex(wf), ToHex(vornik::test::WrapKRVW(
                             vornik::test::KRVWHeader(w.Cimzett, w.Felado, w.Felado_rovid_cim, info, w.CsomagSorszam,
                                                      static_cast<uint8_t>(w.Header_extension.size()),
                                                      static_cast<uint16_t>(payload.size())) +
                             w.Header_extension + payload)));
    ++krvwSums[static_cast<uint8_t>(wf[wf.size() - 2])];
  }
  // The checksum folding rules were exercised on both sides of their limits.
  EXPECT_GT(krvSums[250] + krvSums[0x80], 0);
  EXPECT_GT(krvSums[251 - 128] + krvSums[255 - 128], 0);
  EXPECT_GT(krvwSums[250], 0);
  EXPECT_GT(krvwSums[0x7B] + krvwSums[0x7F], 0);
}

TEST(KRVProtocol, EveryByteValueSurvivesBothFormats) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  for (const TKRVMode mode : {TKRVMode::PMKRVOnly, TKRVMode::PMKRVWOnly}) {
    TKRVProtocol e = Encoder(mode);
    e.Felado = IsKRVW(mode) ? 1000 : 250;
    TKRVProtocol d = Decoder(mode);
    EXPECT_EQ(d.Decode(e.Encode(all)), all);
    EXPECT_EQ(d.DecodeResult(), drOK);
  }
}

TEST(KRVProtocol, FrameSizes) {
  TKRVProtocol krv = Encoder(TKRVMode::PMKRVOnly);
  EXPECT_EQ(krv.Encode("").size(), 11u);
  EXPECT_EQ(krv.Encode("ABCDEFG").size(), 11u + 8u);  // one full group and its flag byte
  EXPECT_EQ(krv.Encode("ABCDEFGH").size(), 11u + 10u);
  TKRVProtocol krvw = Encoder(TKRVMode::PMKRVWOnly);
  EXPECT_EQ(krvw.Encode("").size(), 3u + 16u);
}

TEST(KRVProtocol, SizeLimitsOfBothFormats) {
  // KRV: 886 payload bytes group into 1013 bytes, a 1024-byte frame; one more byte does not fit.
  TKRVProtocol krv = Encoder(TKRVMode::PMKRVOnly);
  krv.CsomagSorszam = 9;
  EXPECT_EQ(krv.Encode(std::string(886, 'a')).size(), 1024u);
  try {
    krv.CsomagSorszam = 0;
    krv.Encode(std::string(887, 'a'));
    FAIL() << "no exception";
  } catch (const EKRVProtocol& e) {
    EXPECT_STREQ(e.what(), "Data do not fit in KRV packet");
  }
  EXPECT_EQ(krv.CsomagSorszam, 0) << "a refused frame leaves the packet id alone";

  // KRVW: 14 + 879 bytes pack into 1021 bytes; 880 do not fit. The extension counts as well.
  TKRVProtocol krvw = Encoder(TKRVMode::PMKRVWOnly);
  EXPECT_EQ(krvw.Encode(std::string(879, 'a')).size(), 1024u);
  EXPECT_THROW(krvw.Encode(std::string(880, 'a')), EKRVProtocol);
  krvw.Header_extension = std::string(255, 'x');
  EXPECT_EQ(krvw.Encode(std::string(624, 'a')).size(), 1024u);
  EXPECT_THROW(krvw.Encode(std::string(625, 'a')), EKRVProtocol);

  // The largest frames decode again.
  TKRVProtocol d = Decoder(TKRVMode::PMDecodeBothEncodeKRV);
  EXPECT_EQ(d.Decode(krv.Encode(std::string(886, '\xFF'))), std::string(886, '\xFF'));
  EXPECT_EQ(d.DecodeResult(), drOK);
}

TEST(KRVProtocol, HeaderExtensionOverOneByteLengthIsRefused) {
  TKRVProtocol e = Encoder(TKRVMode::PMKRVWOnly);
  e.Header_extension = std::string(256, 'x');
  EXPECT_THROW(e.Encode(""), EKRVProtocol);
  e.Header_extension = std::string(255, '\0');
  const std::string frame = e.Encode("P");
  TKRVProtocol d = Decoder(TKRVMode::PMKRVWOnly);
  EXPECT_EQ(d.Decode(frame), "P");
  EXPECT_EQ(d.Header_extension, std::string(255, '\0'));
}

TEST(KRVProtocol, KRVAddressBytesThatLookLikeFrameBytesAreRefused) {
  for (const uint32_t addr : {253u, 254u, 0x1FDu}) {
    TKRVProtocol e = Encoder(TKRVMode::PMKRVOnly);
    e.Cimzett = addr;
    EXPECT_THROW(e.Encode("CSYSI"), EKRVProtocol) << addr;
    e.Cimzett = 1;
    e.Felado = addr;
    EXPECT_THROW(e.Encode("CSYSI"), EKRVProtocol) << addr;
  }
  // 255 (every device) and long addresses in KRVW are fine.
  TKRVProtocol e = Encoder(TKRVMode::PMKRVOnly);
  e.Cimzett = 255;
  EXPECT_NO_THROW(e.Encode("CSYSI"));
  TKRVProtocol w = Encoder(TKRVMode::PMKRVWOnly);
  w.Cimzett = 253;
  EXPECT_NO_THROW(w.Encode("CSYSI"));
}

TEST(KRVProtocol, PacketIdRules) {
  TKRVProtocol krv = Encoder(TKRVMode::PMKRVOnly);
  TKRVProtocol krvw = Encoder(TKRVMode::PMKRVWOnly);
  for (const int id : {251, 252, 255}) {
    krv.CsomagSorszam = static_cast<uint8_t>(id);
    krv.Encode("A");
    EXPECT_EQ(krv.CsomagSorszam, 1);
    krvw.CsomagSorszam = static_cast<uint8_t>(id);
    krvw.Encode("A");
    EXPECT_EQ(krvw.CsomagSorszam, 1);
  }
  for (const int id : {1, 128, 250}) {
    krv.CsomagSorszam = static_cast<uint8_t>(id);
    EXPECT_EQ(static_cast<uint8_t>(krv.Encode("A")[4]), id);
  }
  krvw.CsomagSorszam = 0;
  krvw.Encode("A");
  EXPECT_EQ(krvw.CsomagSorszam, 0) << "KRVW has no random start";

  std::vector<int> seen(251, 0);
  for (int i = 0; i < 2000; ++i) {
    krv.CsomagSorszam = 0;
    const std::string frame = krv.Encode("A");
    ASSERT_GE(krv.CsomagSorszam, 1);
    ASSERT_LE(krv.CsomagSorszam, 250);
    ASSERT_EQ(static_cast<uint8_t>(frame[4]), krv.CsomagSorszam);
    ++seen[krv.CsomagSorszam];
  }
  int distinct = 0;
  for (const int n : seen) distinct += n > 0;
  EXPECT_GT(distinct, 200);

  // The same seed gives the same ids.
  TKRVProtocol a = Encoder(TKRVMode::PMKRVOnly);
  TKRVProtocol b = Encoder(TKRVMode::PMKRVOnly);
  a.Encode("A");
  b.Encode("A");
  EXPECT_EQ(a.CsomagSorszam, b.CsomagSorszam);
}

TEST(KRVProtocol, ShortSourceAddressAndInfoBits) {
  TKRVProtocol e = Encoder(TKRVMode::PMKRVOnly);
  e.Felado = 0x1234;  // low byte 0x34
  e.Felado_rovid_cim = 9;
  e.Info = TInfo::ismetelt_csomag;
  const std::string frame = e.Encode("A");
  EXPECT_EQ(e.Felado_rovid_cim, 0x34);
  EXPECT_EQ(static_cast<uint8_t>(frame[3]), 0x04);
  TKRVProtocol d = Decoder(TKRVMode::PMKRVOnly);
  d.Decode(frame);
  EXPECT_EQ(d.Info, TInfo::nem_kerek_nyugtat) << "KRV keeps only bits 0-1 of the info byte";

  TKRVProtocol w = Encoder(TKRVMode::PMKRVWOnly);
  w.Felado = 0x1234;
  w.Felado_rovid_cim = 9;
  w.Info = TInfo::ismetelt_csomag;
  w.Disable_bitmatrix = true;
  w.Enable_ASYER = true;
  const std::string wf = w.Encode("A");
  EXPECT_EQ(w.Felado_rovid_cim, 9) << "KRVW sends the short address as it is";
  TKRVProtocol wd = Decoder(TKRVMode::PMKRVWOnly);
  EXPECT_EQ(wd.Decode(wf), "A");
  EXPECT_EQ(wd.Info, TInfo::ismetelt_csomag);
  EXPECT_TRUE(wd.Enable_ASYER);
  EXPECT_FALSE(wd.Disable_bitmatrix) << "decoding leaves Disable_bitmatrix alone";
  EXPECT_EQ(wd.Felado_rovid_cim, 9);
}

TEST(KRVProtocol, KRVDecodeResultsInCheckOrder) {
  const std::string good = Hex("FD 01 FA 05 05 80 06 01 01 43 53 59 53 49 80 98 FE");
  auto with = [&](std::size_t at, uint8_t v, bool fix) {
    std::string f = good;
    f[at] = static_cast<char>(v);
    if (fix) vornik::test::FixKRVChecksum(f);
    return f;
  };
  std::string tooLong = good;
  tooLong.insert(1, 1014, '\x41');
  std::string tooLongNoStart = tooLong;
  tooLongNoStart[0] = 'x';
  struct {
    const char* name;
    std::string frame;
    unsigned result;
  } cases[] = {
      {"ten bytes", good.substr(0, 10), drTooShort},
      {"empty", "", drTooShort},
      {"1031 bytes", tooLong, drTooLong},
      {"too long wins over the start byte", tooLongNoStart, drTooLong},
      {"no start byte", with(0, 0xFB, false), drNoFrame},
      {"no stop byte", with(16, 0xFC, false), drNoFrame},
      {"destination 251", with(1, 251, true), drBadAddress},
      {"destination 255", with(1, 255, true), drOK},
      {"source 0", with(2, 0, true), drBadAddress},
      {"source 251", with(2, 251, true), drBadAddress},
      {"bad address wins over a bad checksum", with(2, 0, false), drBadAddress},
      {"length field too big", with(6, 0x07, true), drBadLength},
      {"length field high bits", with(5, 0x81, true), drBadLength},
      {"checksum", with(15, 0x97, false), drBadChecksum},
      {"payload byte changed", with(10, 0x54, false), drBadChecksum},
  };
  for (const auto& c : cases) {
    TKRVProtocol d = Decoder(TKRVMode::PMKRVOnly);
    const std::string payload = d.Decode(c.frame);
    EXPECT_EQ(d.DecodeResult(), c.result) << c.name;
    if (c.result != drOK) {
      EXPECT_EQ(payload, "") << c.name;
      EXPECT_EQ(d.Cimzett, 1u) << c.name << ": a refused KRV frame leaves the header alone";
    }
  }
}

TEST(KRVProtocol, KRVWDecodeResults) {
  using vornik::test::KRVWHeader;
  using vornik::test::WrapKRVW;
  const std::string okHeader = KRVWHeader(1, 1000, 7, 1, 3, 0, 2);
  struct {
    const char* name;
    std::string frame;
    unsigned result;
  } cases[] = {
      {"good", WrapKRVW(okHeader + "AB"), drOK},
      {"fourteen bytes", WrapKRVW(okHeader + "AB").substr(0, 13) + "\xFC", drTooShort},
      {"too long", WrapKRVW(okHeader + std::string(900, 'a')), drTooLong},
      {"no start byte", "\xFD" + WrapKRVW(okHeader + "AB").substr(1), drNoFrame},
      {"no stop byte", WrapKRVW(okHeader + "AB").substr(0, 21) + "\xFE", drNoFrame},
      {"unpacked block shorter than the header", WrapKRVW(okHeader.substr(0, 11)), drBadLength},
      {"payload longer than announced", WrapKRVW(okHeader + "ABC"), drBadLength},
      {"payload shorter than announced", WrapKRVW(okHeader + "A"), drBadLength},
      {"extension not counted", WrapKRVW(KRVWHeader(1, 1000, 7, 1, 3, 2, 2) + "AB"), drBadLength},
      {"short sender address", WrapKRVW(KRVWHeader(1, 12, 7, 1, 3, 0, 2) + "AB"), drBadAddress},
      {"sender 255", WrapKRVW(KRVWHeader(1, 255, 7, 1, 3, 0, 2) + "AB"), drBadAddress},
      {"sender is the PC", WrapKRVW(KRVWHeader(1, 250, 7, 1, 3, 0, 2) + "AB"), drOK},
      {"sender 256", WrapKRVW(KRVWHeader(1, 256, 7, 1, 3, 0, 2) + "AB"), drOK},
  };
  for (const auto& c : cases) {
    TKRVProtocol d = Decoder(TKRVMode::PMKRVWOnly);
    const std::string payload = d.Decode(c.frame);
    EXPECT_EQ(d.DecodeResult(), c.result) << c.name;
    EXPECT_EQ(payload, c.result == drOK ? "AB" : "") << c.name;
  }

  // A checksum error, with everything else right.
  std::string bad = WrapKRVW(okHeader + "AB");
  bad[bad.size() - 2] = static_cast<char>(bad[bad.size() - 2] ^ 1);
  TKRVProtocol d = Decoder(TKRVMode::PMKRVWOnly);
  d.Decode(bad);
  EXPECT_EQ(d.DecodeResult(), drBadChecksum);

  // A refused short-address frame still leaves its header in the fields.
  d.Decode(WrapKRVW(KRVWHeader(77, 12, 5, 2, 99, 0, 2) + "AB"));
  EXPECT_EQ(d.DecodeResult(), drBadAddress);
  EXPECT_EQ(d.Cimzett, 77u);
  EXPECT_EQ(d.Felado, 12u);
  EXPECT_EQ(d.CsomagSorszam, 99);
  EXPECT_FALSE(d.LastWasKRVW());
}

TEST(KRVProtocol, EverySingleBitErrorInAKRVWFrameIsRefused) {
  // Payloads whose packed sums land on every checksum value, also those the checksum folds
  // together (sums below 0x20 and above 250), each flipped in every bit of every byte.
  std::mt19937 rng(5);
  int frames = 0, flips = 0;
  TKRVProtocol d = Decoder(TKRVMode::PMKRVWOnly);
  for (int n = 0; n < 120; ++n) {
    std::string payload(1 + rng() % 40, '\0');
    for (auto& c : payload) c = static_cast<char>(rng());
    TKRVProtocol enc;
    enc.KRVMode = TKRVMode::PMKRVWOnly;
    enc.Cimzett = 250;
    enc.Felado = 178556;
    enc.CsomagSorszam = static_cast<uint8_t>(1 + n % 250);
    const std::string frame = enc.Encode(payload);
    ++frames;
    for (std::size_t i = 0; i < frame.size(); ++i) {
      for (int bit = 0; bit < 8; ++bit) {
        std::string bad = frame;
        bad[i] = static_cast<char>(bad[i] ^ (1 << bit));
        d.Decode(bad);
        ++flips;
        ASSERT_NE(d.DecodeResult(), drOK) << "byte " << i << " bit " << bit << " of " << vornik::test::ToHex(frame);
      }
    }
  }
  EXPECT_EQ(frames, 120);
  EXPECT_GT(flips, 20000);
}

TEST(KRVProtocol, DecodeBothModesFallBackToKRVW) {
  const std::string krv = Hex("FD 01 FA 05 05 80 06 01 01 43 53 59 53 49 80 98 FE");
  std::string badSum = krv;
  badSum[15] = static_cast<char>(0x97);
  const std::string krvw = Hex("FB 81 80 80 80 7A 80 80 7F 80 7A 41 85 80 85 80 7B 43 53 59 53 49 80 C5 FC");
  for (const TKRVMode mode : {TKRVMode::PMDecodeBothEncodeKRV, TKRVMode::PMDecodeBothEncodeKRVW}) {
    TKRVProtocol d = Decoder(mode);
    d.Decode(badSum);
    EXPECT_EQ(d.DecodeResult(), drNoFrame) << "the KRVW attempt's result replaces the KRV one";
    EXPECT_EQ(d.Decode(krvw), "CSYSI");
    EXPECT_EQ(d.DecodeResult(), drOK);
    EXPECT_TRUE(d.LastWasKRVW());
    EXPECT_EQ(d.Decode(krv), "CSYSI");
    EXPECT_FALSE(d.LastWasKRVW());
  }
  TKRVProtocol krvOnly = Decoder(TKRVMode::PMKRVOnly);
  krvOnly.Decode(krvw);
  EXPECT_EQ(krvOnly.DecodeResult(), drNoFrame);
  TKRVProtocol krvwOnly = Decoder(TKRVMode::PMKRVWOnly);
  krvwOnly.Decode(krv);
  EXPECT_EQ(krvwOnly.DecodeResult(), drNoFrame);
}

TEST(KRVProtocol, ExtractFrameCases) {
  const std::string body = "\x01\xFA\x05\x05\x80\x06\x01\x01" "CSYSI\x80\x98";
  const std::string frame = "\xFD" + body + "\xFE";

  // Junk before the start byte is dropped; what follows the stop byte stays.
  std::string buffer = "\x11\x22" + frame + "\x33\x44\xFD";
  TKRVProtocol p = Decoder(TKRVMode::PMKRVOnly);
  EXPECT_EQ(p.ExtractFrame(buffer), frame);
  EXPECT_EQ(buffer, "\x33\x44\xFD");
  EXPECT_FALSE(p.LastWasKRVW());
  EXPECT_EQ(p.ExtractFrame(buffer), "") << "no stop byte yet";
  EXPECT_EQ(buffer, "\x33\x44\xFD") << "an incomplete frame stays in the buffer";

  // Of two start bytes the later one begins the frame.
  buffer = "\xFD\x01\x02" + frame;
  EXPECT_EQ(p.ExtractFrame(buffer), frame);
  EXPECT_TRUE(buffer.empty());

  // A piece without a start byte comes out whole and fails decoding with result 3.
  buffer = std::string("\x01\x02\xFE\x07", 4);
  const std::string piece = p.ExtractFrame(buffer);
  EXPECT_EQ(piece, "\x01\x02\xFE");
  EXPECT_EQ(buffer, "\x07");
  p.Decode(piece);
  EXPECT_EQ(p.DecodeResult(), drTooShort);
  p.Decode(std::string(12, '\x01') + "\xFE");
  EXPECT_EQ(p.DecodeResult(), drNoFrame);

  // KRV extraction ignores KRVW frames; KRVW extraction ignores KRV frames.
  const std::string wframe = Hex("FB 81 80 80 80 7A 80 80 7F 80 7A 41 85 80 85 80 7B 43 53 59 53 49 80 C5 FC");
  buffer = wframe;
  EXPECT_EQ(p.ExtractFrame(buffer), "");
  TKRVProtocol w = Decoder(TKRVMode::PMKRVWOnly);
  buffer = "\x20" + wframe + frame;
  EXPECT_EQ(w.ExtractFrame(buffer), wframe);
  EXPECT_TRUE(w.LastWasKRVW());
  EXPECT_EQ(buffer, frame);
  EXPECT_EQ(w.ExtractFrame(buffer), "");
}

TEST(KRVProtocol, ExtractFrameInDecodeBothModeKeepsTheOlderFrame) {
  const std::string krv = Hex("FD 01 FA 05 05 80 06 01 01 43 53 59 53 49 80 98 FE");
  const std::string krvw = Hex("FB 81 80 80 80 7A 80 80 7F 80 7A 41 85 80 85 80 7B 43 53 59 53 49 80 C5 FC");
  TKRVProtocol p = Decoder(TKRVMode::PMDecodeBothEncodeKRV);

  // A complete KRVW frame followed by a damaged KRV piece that already has its stop byte: the
  // KRVW frame comes out first and is not lost, then the KRV piece.
  std::string buffer = krvw + krv.substr(0, 5) + "\xFE";
  EXPECT_EQ(p.ExtractFrame(buffer), krvw);
  EXPECT_TRUE(p.LastWasKRVW());
  EXPECT_EQ(p.ExtractFrame(buffer), krv.substr(0, 5) + "\xFE");
  EXPECT_FALSE(p.LastWasKRVW());
  EXPECT_TRUE(buffer.empty());

  // Mixed complete frames come out in arrival order.
  buffer = krv + krvw + krv + krvw;
  for (int i = 0; i < 4; ++i) {
    const std::string f = p.ExtractFrame(buffer);
    EXPECT_EQ(f, i % 2 == 0 ? krv : krvw) << i;
    EXPECT_EQ(p.Decode(f), "CSYSI");
  }
  EXPECT_TRUE(buffer.empty());

  // A partial KRV frame before a complete KRVW frame is leading garbage.
  buffer = krv.substr(0, 6) + krvw;
  EXPECT_EQ(p.ExtractFrame(buffer), krvw);
  EXPECT_TRUE(buffer.empty());
}

TEST(KRVProtocol, StreamOfMixedFramesInRandomChunks) {
  std::mt19937 rng(77);
  TKRVProtocol krvEnc = Encoder(TKRVMode::PMKRVOnly);
  TKRVProtocol krvwEnc = Encoder(TKRVMode::PMKRVWOnly);
  krvwEnc.Felado = 70000;
  std::vector<std::string> payloads;
  std::string stream;
  for (int i = 0; i < 200; ++i) {
    payloads.push_back(RandomBytes(rng, rng() % 300));
    stream += (rng() & 1) ? krvEnc.Encode(payloads.back()) : krvwEnc.Encode(payloads.back());
  }
  TKRVProtocol d = Decoder(TKRVMode::PMDecodeBothEncodeKRVW);
  std::string buffer;
  std::size_t next = 0;
  std::size_t pos = 0;
  while (pos < stream.size()) {
    const std::size_t chunk = std::min<std::size_t>(1 + rng() % 64, stream.size() - pos);
    buffer.append(stream, pos, chunk);
    pos += chunk;
    for (std::string f = d.ExtractFrame(buffer); !f.empty(); f = d.ExtractFrame(buffer)) {
      ASSERT_LT(next, payloads.size());
      ASSERT_EQ(d.Decode(f), payloads[next]) << "frame " << next;
      ASSERT_EQ(d.DecodeResult(), drOK);
      ++next;
    }
  }
  EXPECT_EQ(next, payloads.size());
  EXPECT_TRUE(buffer.empty());
}

TEST(KRVProtocol, DecodeResultTags) {
  const char* tags[] = {"OK", "ROSSZ CHSUM", "TUL NAGY", "NINCS KERET", "ROSSZ CIM", "ROSSZ MERET", "TUL ROVID"};
  for (unsigned r = 0; r < 7; ++r) EXPECT_EQ(DecodeResultTag(r), tags[r]);
  EXPECT_EQ(DecodeResultTag(7), "ISMRTLN HIB");
  EXPECT_EQ(DecodeResultTag(65535), "ISMRTLN HIB");
}
