#include "firmware/uHexfileToStr.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace vornik {

namespace {

// Messages of the HEX reader; %s is the field's characters after "$", %d the line number.
constexpr const char* kMsgNoColon = "Hiányzó kettőspont a(z) %d. sorban.";
constexpr const char* kMsgBadLength = "Hibás rekordhossz: %s Sor: %d";
constexpr const char* kMsgBadAddress = "Hibás címmező: %s Sor: %d";
constexpr const char* kMsgBadType = "Hibás rekordtípus: %s Sor: %d";
constexpr const char* kMsgBadData = "Hibás adat: %s Sor: %d";
constexpr const char* kMsgBadChecksumField = "Hibás sorellenőrző-összeg: %s Sor: %d";
constexpr const char* kMsgOverflow =
    "Túlcímzés a(z) %d. sorban: az 512 kbyte-nál nagyobb firmware-eket a szoftver jelenleg nem "
    "támogatja.";
constexpr const char* kMsgChecksum = "Nem egyezik az ellenőrzőösszeg a(z) %d. sorban! (számított %d <> %d)";
constexpr const char* kMsgNoData = "A hexfájl nem tartalmaz adatrekordot.";
// A file cut at a line boundary is otherwise a valid, shorter image.
constexpr const char* kMsgNoEof = "A hexfájl csonka: hiányzik a fájl végét jelző rekord (01-es típus).";
constexpr const char* kMsgLineTooLong = "Túl hosszú a(z) %d. sor: nem Intel HEX rekord.";

// The longest valid record: colon, length, address, type, 255 data bytes, checksum.
constexpr std::size_t kMaxRecordChars = 1 + 2 + 4 + 2 + 2 * 255 + 2;

// Replaces the first "%s" and then each "%d" in order.
std::string FormatMessage(const char* Format, std::string_view S, std::initializer_list<long long> D) {
  std::string out;
  auto d = D.begin();
  bool sDone = false;
  for (const char* p = Format; *p; ++p) {
    if (p[0] == '%' && p[1] == 's' && !sDone) {
      out += S;
      sDone = true;
      ++p;
    } else if (p[0] == '%' && p[1] == 'd' && d != D.end()) {
      out += std::to_string(*d++);
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

constexpr std::array<int8_t, 256> MakeHexTable() {
  std::array<int8_t, 256> t{};
  for (auto& v : t) v = -1;
  for (int c = '0'; c <= '9'; ++c) t[c] = static_cast<int8_t>(c - '0');
  for (int c = 'A'; c <= 'F'; ++c) t[c] = static_cast<int8_t>(c - 'A' + 10);
  for (int c = 'a'; c <= 'f'; ++c) t[c] = static_cast<int8_t>(c - 'a' + 10);
  return t;
}
constexpr std::array<int8_t, 256> kHex = MakeHexTable();

// The characters of a field at 0-based Pos, Width wide, clipped to the line.
std::string_view FieldAt(std::string_view Line, std::size_t Pos, std::size_t Width) {
  if (Pos >= Line.size()) return {};
  return Line.substr(Pos, Width);
}

// A field is valid when it has its full width and holds only hexadecimal digits.
bool ParseHex(std::string_view Field, std::size_t Width, uint32_t& Value) {
  if (Field.size() != Width) return false;
  uint32_t v = 0;
  for (char c : Field) {
    const int8_t h = kHex[static_cast<uint8_t>(c)];
    if (h < 0) return false;
    v = (v << 4) | static_cast<uint32_t>(h);
  }
  Value = v;
  return true;
}

bool IsBlank(std::string_view Line) {
  return std::all_of(Line.begin(), Line.end(), [](char c) { return static_cast<uint8_t>(c) <= 32; });
}

// Collects the data records as they come, then lays out the used range.
class THexReader {
 public:
  // Parses one line; false (with the error set) when it fails.
  bool Line(std::string_view L) {
    ++lineNo_;
    if (IsBlank(L)) return true;
    if (L[0] != ':') return Fail(FormatMessage(kMsgNoColon, {}, {lineNo_}));

    uint32_t len = 0, addr = 0, type = 0, check = 0;
    std::string_view f = FieldAt(L, 1, 2);
    if (!ParseHex(f, 2, len)) return BadField(kMsgBadLength, f);
    f = FieldAt(L, 3, 4);
    if (!ParseHex(f, 4, addr)) return BadField(kMsgBadAddress, f);
    f = FieldAt(L, 7, 2);
    if (!ParseHex(f, 2, type)) return BadField(kMsgBadType, f);
    f = FieldAt(L, 9 + 2 * len, 2);
    if (!ParseHex(f, 2, check)) return BadField(kMsgBadChecksumField, f);
    uint32_t baseField = 0;
    if (type == 2 || type == 4) {
      f = FieldAt(L, 9, 4);
      if (!ParseHex(f, 4, baseField)) return BadField(kMsgBadData, f);
    }
    // The checksum field was found, so all data characters are present; check their digits.
    uint32_t sum = len + (addr & 0xFF) + (addr >> 8) + type;
    const char* data = L.data() + 9;
    for (uint32_t i = 0; i < len; ++i) {
      const int8_t hi = kHex[static_cast<uint8_t>(data[2 * i])];
      const int8_t lo = kHex[static_cast<uint8_t>(data[2 * i + 1])];
      if (hi < 0 || lo < 0) return BadField(kMsgBadData, std::string_view(data + 2 * i, 2));
      sum += static_cast<uint32_t>((hi << 4) | lo);
    }

    if (type == 0) {
      const uint64_t abs = base_ + addr;
      if (abs >= kHexAddressSpace - 1 || abs + len > kHexAddressSpace)
        return Fail(FormatMessage(kMsgOverflow, {}, {lineNo_}));
      highest_ = std::max<int64_t>(highest_, static_cast<int64_t>(abs) + len - 1);
      if (len > 0) {
        if (startAddr_ < 0) startAddr_ = static_cast<int32_t>(abs);
        Store(static_cast<uint32_t>(abs), data, len);
      }
    } else if (type == 1) {
      // Records after it are still read: some tools append data after the end-of-file record.
      sawEof_ = true;
    } else if (type == 2) {
      base_ = static_cast<uint64_t>(baseField) << 4;
    } else if (type == 4) {
      base_ = static_cast<uint64_t>(baseField) << 16;
    }

    if (((check + sum) & 0xFF) != 0)
      return Fail(FormatMessage(kMsgChecksum, {}, {lineNo_, static_cast<long long>(sum & 0xFF), check}));
    return true;
  }

  // A line longer than any record (blanks after a record aside).
  bool LineTooLong() {
    ++lineNo_;
    return Fail(FormatMessage(kMsgLineTooLong, {}, {lineNo_}));
  }

  THexReadResult Finish() {
    THexReadResult r;
    if (!error_.empty()) {
      r.ErrorText = error_;
      r.ErrorLine = lineNo_;
      return r;
    }
    if (startAddr_ < 0) {
      r.ErrorText = kMsgNoData;
      return r;
    }
    if (!sawEof_) {
      r.ErrorText = kMsgNoEof;
      return r;
    }
    // The information block is read from the whole address space, also below StartAddr.
    std::string info(kFWInfoSize, '\xFF');
    Replay(kFWInfoAddress, kFWInfoAddress + kFWInfoSize - 1, info);
    if (std::string_view(info).substr(0, kBuildMarker.size()) == kBuildMarker) {
      r.FWInfo = TFWInfo::FromBytes(info);
      r.InfoFound = true;
    }
    const uint32_t first = static_cast<uint32_t>(startAddr_);
    const uint32_t last = static_cast<uint32_t>(highest_);
    r.Image.assign(static_cast<std::size_t>(last - first) + 1, '\xFF');
    Replay(first, last, r.Image);
    r.StartAddr = startAddr_;
    r.Ok = true;
    return r;
  }

 private:
  struct TChunk {
    uint32_t Addr;
    uint32_t Len;
    const uint8_t* Data;
  };
  static constexpr std::size_t kBlockSize = 256 * 1024;

  bool Fail(std::string Msg) {
    error_ = std::move(Msg);
    return false;
  }
  bool BadField(const char* Format, std::string_view Field) {
    return Fail(FormatMessage(Format, "$" + std::string(Field), {lineNo_}));
  }

  // Appends the record's bytes (still as hex digits) decoded into the current block; a record
  // that continues the previous one extends its chunk.
  void Store(uint32_t Addr, const char* Hex, uint32_t Len) {
    if (blocks_.empty() || used_ + Len > kBlockSize) {
      blocks_.push_back(std::make_unique<uint8_t[]>(kBlockSize));
      used_ = 0;
    }
    uint8_t* dst = blocks_.back().get() + used_;
    for (uint32_t i = 0; i < Len; ++i)
      dst[i] = static_cast<uint8_t>((kHex[static_cast<uint8_t>(Hex[2 * i])] << 4) |
                                    kHex[static_cast<uint8_t>(Hex[2 * i + 1])]);
    if (!chunks_.empty()) {
      TChunk& c = chunks_.back();
      if (c.Addr + c.Len == Addr && c.Data + c.Len == dst) {
        c.Len += Len;
        used_ += Len;
        return;
      }
    }
    chunks_.push_back({Addr, Len, dst});
    used_ += Len;
  }

  // Writes every stored byte that falls in [First, Last] into Out (Out[0] is address First), in
  // file order.
  void Replay(uint32_t First, uint32_t Last, std::string& Out) const {
    for (const TChunk& c : chunks_) {
      const uint64_t cEnd = static_cast<uint64_t>(c.Addr) + c.Len - 1;
      if (cEnd < First || c.Addr > Last) continue;
      const uint32_t lo = std::max(c.Addr, First);
      const uint32_t hi = static_cast<uint32_t>(std::min<uint64_t>(cEnd, Last));
      std::memcpy(Out.data() + (lo - First), c.Data + (lo - c.Addr), hi - lo + 1);
    }
  }

  int lineNo_ = 0;
  uint64_t base_ = 0;
  int32_t startAddr_ = -1;
  bool sawEof_ = false;
  int64_t highest_ = 0;
  std::string error_;
  std::vector<std::unique_ptr<uint8_t[]>> blocks_;
  std::size_t used_ = 0;
  std::vector<TChunk> chunks_;
};

// Feeds text to a reader line by line; a line ends at CR LF, LF or CR. Text may arrive in
// pieces: an unfinished line is kept until its end (or the end of input) arrives.
class TLineSplitter {
 public:
  explicit TLineSplitter(THexReader& Reader) : reader_(Reader) {}

  // False once a line has failed.
  bool Feed(std::string_view Text) {
    std::size_t i = 0;
    if (skipLF_ && !Text.empty()) {
      if (Text[0] == '\n') i = 1;
      skipLF_ = false;
    }
    while (i < Text.size()) {
      std::size_t j = i;
      while (j < Text.size() && Text[j] != '\n' && Text[j] != '\r') ++j;
      if (j == Text.size()) {
        Keep(Text.substr(i));
        return true;
      }
      bool ok;
      if (pending_.empty() && !overlong_ && j - i <= kMaxRecordChars) {
        ok = reader_.Line(Text.substr(i, j - i));
      } else {
        Keep(Text.substr(i, j - i));
        ok = TakePending();
      }
      if (!ok) return false;
      if (Text[j] == '\r') {
        if (j + 1 < Text.size()) {
          if (Text[j + 1] == '\n') ++j;
        } else {
          skipLF_ = true;
        }
      }
      i = j + 1;
    }
    return true;
  }

  bool End() {
    if (pending_.empty() && !overlong_) return true;
    return TakePending();
  }

 private:
  // Holds the start of an unfinished line, never more than a record: a file without line breaks
  // is not held whole. Blanks after a record are allowed; anything else makes the line too long.
  void Keep(std::string_view Piece) {
    const std::size_t room = kMaxRecordChars - std::min(pending_.size(), kMaxRecordChars);
    pending_.append(Piece.substr(0, room));
    if (Piece.size() > room && !IsBlank(Piece.substr(room))) overlong_ = true;
  }

  bool TakePending() {
    const bool ok = overlong_ ? reader_.LineTooLong() : reader_.Line(pending_);
    pending_.clear();
    overlong_ = false;
    return ok;
  }

  THexReader& reader_;
  std::string pending_;
  bool overlong_ = false;
  bool skipLF_ = false;
};

std::string OpenErrorText(const std::string& FileName, int Err) {
  return "Cannot open file \"" + FileName + "\". " + std::strerror(Err);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// HEX reading

THexReadResult ReadHexText(std::string_view Text) {
  THexReader reader;
  TLineSplitter lines(reader);
  if (lines.Feed(Text)) lines.End();
  return reader.Finish();
}

THexReadResult ReadHexFile(const std::string& FileName) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(FileName.c_str(), "rb"), &std::fclose);
  if (!f) throw EFileError(OpenErrorText(FileName, errno));
  THexReader reader;
  TLineSplitter lines(reader);
  std::string buf(64 * 1024, '\0');
  bool ok = true;
  while (ok) {
    const std::size_t n = std::fread(buf.data(), 1, buf.size(), f.get());
    if (n == 0) {
      if (std::ferror(f.get())) throw EFileError("Read error on file \"" + FileName + "\". " + std::strerror(errno));
      ok = lines.End();
      break;
    }
    ok = lines.Feed(std::string_view(buf.data(), n));
  }
  return reader.Finish();
}

bool HexfileToStr(const std::string& FileName, std::string& Image, int32_t& StartAddr, TFWInfo& Info,
                  bool& InfoFound, std::string& ErrorText) {
  THexReadResult r = ReadHexFile(FileName);
  if (!r.Ok) {
    Image.clear();
    ErrorText = std::move(r.ErrorText);
    return false;
  }
  Image = std::move(r.Image);
  StartAddr = r.StartAddr;
  Info = r.FWInfo;
  InfoFound = r.InfoFound;
  return true;
}

// ---------------------------------------------------------------------------------------------
// The information block

namespace {

template <std::size_t N>
void GetChars(std::string_view B, std::size_t Off, std::array<char, N>& Out) {
  for (std::size_t i = 0; i < N; ++i) Out[i] = Off + i < B.size() ? B[Off + i] : '\0';
}
uint32_t GetLE(std::string_view B, std::size_t Off, std::size_t Size) {
  uint32_t v = 0;
  for (std::size_t i = 0; i < Size; ++i)
    if (Off + i < B.size()) v |= static_cast<uint32_t>(static_cast<uint8_t>(B[Off + i])) << (8 * i);
  return v;
}
template <std::size_t N>
void PutChars(std::string& B, const std::array<char, N>& In) {
  B.append(In.data(), N);
}
void PutLE(std::string& B, uint32_t V, std::size_t Size) {
  for (std::size_t i = 0; i < Size; ++i) B += static_cast<char>((V >> (8 * i)) & 0xFF);
}

}  // namespace

TFWInfo TFWInfo::FromBytes(std::string_view B) {
  TFWInfo r;
  GetChars(B, 0, r.BuildStr);
  GetChars(B, 11, r.CompName);
  GetChars(B, 17, r.ProjName);
  r.BuildNum = static_cast<uint16_t>(GetLE(B, 33, 2));
  for (std::size_t i = 0; i < 6; ++i) r.BuildTime[i] = static_cast<uint8_t>(GetLE(B, 35 + i, 1));
  r.FoscFreqHZ = GetLE(B, 41, 4);
  r.CclkFreqHz = GetLE(B, 45, 4);
  r.SPI_freqHz = GetLE(B, 49, 4);
  r.I2C_freqHz = GetLE(B, 53, 4);
  uint16_t* words[] = {&r.InfoHwId,    &r.Uart0TxBuff, &r.Uart0RxBuff, &r.Uart1TxBuff,
                       &r.Uart1RxBuff, &r.Uart2TxBuff, &r.Uart2RxBuff, &r.Uart3TxBuff,
                       &r.Uart3RxBuff, &r.EthTxBuff,   &r.EthRxBuff};
  std::size_t off = 57;
  for (uint16_t* w : words) {
    *w = static_cast<uint16_t>(GetLE(B, off, 2));
    off += 2;
  }
  r.Port0_485 = static_cast<uint8_t>(GetLE(B, 79, 1));
  r.Pin0_485 = static_cast<uint8_t>(GetLE(B, 80, 1));
  r.Port1_485 = static_cast<uint8_t>(GetLE(B, 81, 1));
  r.Pin1_485 = static_cast<uint8_t>(GetLE(B, 82, 1));
  return r;
}

std::string TFWInfo::ToBytes() const {
  std::string b;
  b.reserve(kFWInfoSize);
  PutChars(b, BuildStr);
  PutChars(b, CompName);
  PutChars(b, ProjName);
  PutLE(b, BuildNum, 2);
  for (uint8_t c : BuildTime) b += static_cast<char>(c);
  for (uint32_t v : {FoscFreqHZ, CclkFreqHz, SPI_freqHz, I2C_freqHz}) PutLE(b, v, 4);
  for (uint16_t v : {InfoHwId, Uart0TxBuff, Uart0RxBuff, Uart1TxBuff, Uart1RxBuff, Uart2TxBuff, Uart2RxBuff,
                     Uart3TxBuff, Uart3RxBuff, EthTxBuff, EthRxBuff})
    PutLE(b, v, 2);
  for (uint8_t v : {Port0_485, Pin0_485, Port1_485, Pin1_485}) b += static_cast<char>(v);
  return b;
}

namespace {

// The numeric fields in record order after BuildTime, with their widths in bytes.
struct TNumField {
  const char* Key;
  std::size_t Width;
  uint32_t TFWInfo::*U32;
  uint16_t TFWInfo::*U16;
  uint8_t TFWInfo::*U8;
};

const TNumField kNumFields[] = {
    {"FoscFreqHZ", 4, &TFWInfo::FoscFreqHZ, nullptr, nullptr},
    {"CclkFreqHz", 4, &TFWInfo::CclkFreqHz, nullptr, nullptr},
    {"SPI_freqHz", 4, &TFWInfo::SPI_freqHz, nullptr, nullptr},
    {"I2C_freqHz", 4, &TFWInfo::I2C_freqHz, nullptr, nullptr},
    {"InfoHwId", 2, nullptr, &TFWInfo::InfoHwId, nullptr},
    {"Uart0TxBuff", 2, nullptr, &TFWInfo::Uart0TxBuff, nullptr},
    {"Uart0RxBuff", 2, nullptr, &TFWInfo::Uart0RxBuff, nullptr},
    {"Uart1TxBuff", 2, nullptr, &TFWInfo::Uart1TxBuff, nullptr},
    {"Uart1RxBuff", 2, nullptr, &TFWInfo::Uart1RxBuff, nullptr},
    {"Uart2TxBuff", 2, nullptr, &TFWInfo::Uart2TxBuff, nullptr},
    {"Uart2RxBuff", 2, nullptr, &TFWInfo::Uart2RxBuff, nullptr},
    {"Uart3TxBuff", 2, nullptr, &TFWInfo::Uart3TxBuff, nullptr},
    {"Uart3RxBuff", 2, nullptr, &TFWInfo::Uart3RxBuff, nullptr},
    {"EthTxBuff", 2, nullptr, &TFWInfo::EthTxBuff, nullptr},
    {"EthRxBuff", 2, nullptr, &TFWInfo::EthRxBuff, nullptr},
    {"Port0_485", 1, nullptr, nullptr, &TFWInfo::Port0_485},
    {"Pin0_485", 1, nullptr, nullptr, &TFWInfo::Pin0_485},
    {"Port1_485", 1, nullptr, nullptr, &TFWInfo::Port1_485},
    {"Pin1_485", 1, nullptr, nullptr, &TFWInfo::Pin1_485},
};

uint32_t NumValue(const TFWInfo& I, const TNumField& F) {
  if (F.U32) return I.*F.U32;
  if (F.U16) return I.*F.U16;
  return I.*F.U8;
}
void SetNum(TFWInfo& I, const TNumField& F, int32_t V) {
  const uint32_t u = static_cast<uint32_t>(V);
  if (F.U32) I.*F.U32 = u;
  else if (F.U16) I.*F.U16 = static_cast<uint16_t>(u);
  else I.*F.U8 = static_cast<uint8_t>(u);
}

template <std::size_t N>
std::string Trimmed(const std::array<char, N>& A) {
  std::size_t b = 0, e = N;
  while (b < e && static_cast<uint8_t>(A[b]) <= 32) ++b;
  while (e > b && static_cast<uint8_t>(A[e - 1]) <= 32) --e;
  return std::string(A.data() + b, e - b);
}

template <std::size_t N>
void SetChars(std::array<char, N>& A, std::string_view V) {
  A.fill('\0');
  std::copy_n(V.begin(), std::min(N, V.size()), A.begin());
}

std::string TwoDigits(int V) {
  std::string s = std::to_string(V);
  return s.size() < 2 ? "0" + s : s;
}

// Adds one entry to a comma text, quoting it when it holds a separator or a quote.
void AddEntry(std::string& Out, std::string_view Entry) {
  const bool quote = std::any_of(Entry.begin(), Entry.end(), [](char c) {
    return static_cast<uint8_t>(c) <= 32 || c == '"' || c == ',';
  });
  if (!Out.empty()) Out += ',';
  if (!quote) {
    Out += Entry;
    return;
  }
  Out += '"';
  for (char c : Entry) {
    if (c == '"') Out += '"';
    Out += c;
  }
  Out += '"';
}

bool IsSep(char c) { return static_cast<uint8_t>(c) <= 32; }

// Signed 32-bit decimal with an optional sign; false for anything else.
bool ParseInt32(std::string_view S, int32_t& Out) {
  std::size_t i = 0;
  bool neg = false;
  if (i < S.size() && (S[i] == '-' || S[i] == '+')) neg = S[i++] == '-';
  if (i == S.size()) return false;
  int64_t v = 0;
  for (; i < S.size(); ++i) {
    if (S[i] < '0' || S[i] > '9') return false;
    v = v * 10 + (S[i] - '0');
    if (v > 2147483648LL) return false;
  }
  if (neg) v = -v;
  if (v > 2147483647LL || v < -2147483648LL) return false;
  Out = static_cast<int32_t>(v);
  return true;
}

bool SameTextAscii(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (std::size_t i = 0; i < A.size(); ++i) {
    char a = A[i], b = B[i];
    if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 32);
    if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 32);
    if (a != b) return false;
  }
  return true;
}

}  // namespace

std::string FWInfoToText(const TFWInfo& Info) {
  std::string out;
  auto text = [&](const char* Key, const std::string& V) {
    if (!V.empty()) AddEntry(out, std::string(Key) + "=" + V);
  };
  text("BuildStr", Trimmed(Info.BuildStr));
  text("CompName", Trimmed(Info.CompName));
  text("ProjName", Trimmed(Info.ProjName));
  AddEntry(out, "BuildNum=" + std::to_string(Info.BuildNum));
  const std::string packed(Info.BuildTime.begin(), Info.BuildTime.end());
  int y, mo, d, h, mi, s, ms;
  DecodeDateTime(PackedToDateTime(packed, 1), y, mo, d, h, mi, s, ms);
  std::string year = std::to_string(y);
  while (year.size() < 4) year.insert(year.begin(), '0');
  AddEntry(out, "BuildTime=" + year + "-" + TwoDigits(mo) + "-" + TwoDigits(d) + " " + TwoDigits(h) + ":" +
                    TwoDigits(mi) + ":" + TwoDigits(s));
  for (const TNumField& f : kNumFields) AddEntry(out, std::string(f.Key) + "=" + std::to_string(NumValue(Info, f)));
  return out;
}

std::vector<std::string> SplitCommaText(std::string_view T) {
  std::vector<std::string> out;
  std::size_t p = 0;
  const std::size_t n = T.size();
  auto skipBlanks = [&] {
    while (p < n && IsSep(T[p])) ++p;
  };
  skipBlanks();
  while (p < n) {
    std::string s;
    if (T[p] == '"') {
      ++p;
      while (p < n) {
        if (T[p] == '"') {
          if (p + 1 < n && T[p + 1] == '"') {
            s += '"';
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        s += T[p++];
      }
    } else {
      const std::size_t b = p;
      while (p < n && !IsSep(T[p]) && T[p] != ',') ++p;
      s.assign(T.substr(b, p - b));
    }
    out.push_back(std::move(s));
    skipBlanks();
    if (p < n && T[p] == ',') {
      if (p + 1 == n) out.emplace_back();
      ++p;
      skipBlanks();
    }
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> CommaTextPairs(std::string_view Text) {
  std::vector<std::pair<std::string, std::string>> out;
  for (std::string& e : SplitCommaText(Text)) {
    const std::size_t eq = e.find('=');
    if (eq == std::string::npos) out.emplace_back(std::move(e), std::string());
    else out.emplace_back(e.substr(0, eq), e.substr(eq + 1));
  }
  return out;
}

bool TextToFWInfo(std::string_view Text, TFWInfo& Info) {
  const std::vector<std::string> entries = SplitCommaText(Text);
  auto value = [&](std::string_view Key) -> std::string_view {
    for (const std::string& e : entries) {
      const std::size_t eq = e.find('=');
      if (eq != std::string::npos && SameTextAscii(std::string_view(e).substr(0, eq), Key))
        return std::string_view(e).substr(eq + 1);
    }
    return {};
  };
  auto number = [&](std::string_view Key) {
    int32_t v = 0;
    return ParseInt32(value(Key), v) ? v : 0;
  };
  TFWInfo r;
  SetChars(r.BuildStr, value("BuildStr"));
  SetChars(r.CompName, value("CompName"));
  SetChars(r.ProjName, value("ProjName"));
  r.BuildNum = static_cast<uint16_t>(number("BuildNum"));
  const std::string packed = DateTimeToPacked(StrToDateTimeByFormat(kBuildTimeFormat, value("BuildTime")));
  std::copy_n(packed.begin(), 6, r.BuildTime.begin());
  for (const TNumField& f : kNumFields) SetNum(r, f, number(f.Key));
  Info = r;
  return entries.size() > 1;
}

// ---------------------------------------------------------------------------------------------
// Packed time

TDateTime PackedToDateTime(std::string_view Bytes, int Pos) {
  if (Pos < 1 || static_cast<std::size_t>(Pos - 1) + 6 > Bytes.size()) return 0.0;
  uint64_t v = 0;
  for (int i = 0; i < 6; ++i) v = (v << 8) | static_cast<uint8_t>(Bytes[static_cast<std::size_t>(Pos - 1 + i)]);
  const int year = static_cast<int>((v >> 33) & 0x7FFF);
  const int month = static_cast<int>((v >> 29) & 0xF);
  const int day = static_cast<int>((v >> 24) & 0x1F);
  const int hour = static_cast<int>((v >> 19) & 0x1F);
  const int minute = static_cast<int>((v >> 13) & 0x3F);
  int second = static_cast<int>((v >> 7) & 0x3F);
  const int hundredths = static_cast<int>(v & 0x7F);
  if (second >= 60) second = 0;
  if (hundredths >= 100 || year < 1 || year > 9999) return 0.0;
  TDateTime out = 0.0;
  if (!TryEncodeDateTime(year, month, day, hour, minute, second, hundredths * 10, out)) return 0.0;
  return out;
}

std::string DateTimeToPacked(TDateTime Value) {
  int y, mo, d, h, mi, s, ms;
  DecodeDateTime(Value, y, mo, d, h, mi, s, ms);
  const uint64_t v = (static_cast<uint64_t>(y & 0x7FFF) << 33) | (static_cast<uint64_t>(mo & 0xF) << 29) |
                     (static_cast<uint64_t>(d & 0x1F) << 24) | (static_cast<uint64_t>(h & 0x1F) << 19) |
                     (static_cast<uint64_t>(mi & 0x3F) << 13) | (static_cast<uint64_t>(s & 0x3F) << 7) |
                     static_cast<uint64_t>((ms / 10) & 0x7F);
  std::string out(6, '\0');
  for (int i = 0; i < 6; ++i) out[static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * (5 - i))) & 0xFF);
  return out;
}

// ---------------------------------------------------------------------------------------------
// Scrambling

void ScrambleImage(std::string& Image, int32_t StartAddr) {
  constexpr uint32_t K = 0x5A3C96E1u;
  uint32_t v = K;
  uint32_t a = static_cast<uint32_t>(StartAddr);
  for (char& c : Image) {
    if ((a & 3) == 0) {
      if ((a & 127) == 0) v = a ^ K;
      v = (v << 1) | (v >> 31);
    }
    c = static_cast<char>(static_cast<uint8_t>(c) ^ static_cast<uint8_t>(v >> (8 * (a & 3))));
    ++a;
  }
}

}  // namespace vornik
