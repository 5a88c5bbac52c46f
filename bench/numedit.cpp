// Numeric edit control: the cost of one keystroke on the model (TLabeledNumEditModel) holding
// twelve digits, as the flash page's download length field does (blank thousand separator,
// "," decimal separator, no decimals). Target: under 10 µs per keystroke.
//   BM_TypeAndErase    alternately backspace and a digit at the end of "123 456 789 012"
//   BM_TypeInTheMiddle the same with the caret inside the number (regrouping on both sides)
//   BM_RefusedDigit    a thirteenth digit: refused (beep) at full length
//   BM_KeyFunction     E then Ctrl+E (× 1000, ÷ 1000) on an 8-digit value
//   BM_DeleteKey       Delete then a digit at the start
#include <benchmark/benchmark.h>

#include "app/LabeledNumEditModel.h"

using namespace vornik;

namespace {

TLabeledNumEditModel TwelveDigits() {
  TLabeledNumEditModel m(U' ', U',');
  m.SetWholeLen(12);
  m.SetDecimalLen(0);
  m.SetText("123456789012");
  m.SetCaret(static_cast<int>(m.Text32().size()));
  return m;
}

void BM_TypeAndErase(benchmark::State& State) {
  auto m = TwelveDigits();
  bool erase = true;
  for (auto _ : State) {
    m.KeyPress(erase ? char32_t{8} : U'2');
    erase = !erase;
    benchmark::DoNotOptimize(m.Value());
  }
  if (m.Text32().size() < 14) State.SkipWithError("text lost digits");
}

void BM_TypeInTheMiddle(benchmark::State& State) {
  auto m = TwelveDigits();
  bool erase = true;
  for (auto _ : State) {
    m.SetCaret(8);  // "123 456 |789 012" / after the typed digit
    m.KeyPress(erase ? char32_t{8} : U'6');
    erase = !erase;
    benchmark::DoNotOptimize(m.Value());
  }
}

void BM_RefusedDigit(benchmark::State& State) {
  auto m = TwelveDigits();
  for (auto _ : State) {
    m.KeyPress(U'3');
    benchmark::DoNotOptimize(m.Refused());
  }
}

void BM_KeyFunction(benchmark::State& State) {
  TLabeledNumEditModel m(U' ', U',');
  m.SetText("12345678");
  bool multiply = true;
  for (auto _ : State) {
    m.KeyDown(vk::KeyE, multiply ? TShiftState::None : TShiftState::Ctrl);
    multiply = !multiply;
    benchmark::DoNotOptimize(m.Value());
  }
}

void BM_DeleteKey(benchmark::State& State) {
  auto m = TwelveDigits();
  bool del = true;
  for (auto _ : State) {
    m.SetCaret(0);
    if (del) m.KeyDown(vk::Delete, TShiftState::None);
    else m.KeyPress(U'1');
    del = !del;
    benchmark::DoNotOptimize(m.Value());
  }
}

}  // namespace

BENCHMARK(BM_TypeAndErase);
BENCHMARK(BM_TypeInTheMiddle);
BENCHMARK(BM_RefusedDigit);
BENCHMARK(BM_KeyFunction);
BENCHMARK(BM_DeleteKey);

BENCHMARK_MAIN();
