// Reading JSON answers of many members: a flat object, an object of small objects and a list of
// small objects, each of N members. The time per document should grow in step with N.
//
//   cmake --preset default -DTIRVANE_BUILD_BENCH=ON && cmake --build --preset default
//   build/json_bench
#include <benchmark/benchmark.h>

#include <string>

#include "protocol/json.h"

namespace {

enum class Shape { kFlatObject, kObjectOfObjects, kListOfObjects };

std::string document(Shape shape, long members) {
  std::string text = shape == Shape::kListOfObjects ? "[" : "{";
  for (long i = 0; i < members; ++i) {
    if (i > 0) text += ',';
    const std::string n = std::to_string(i);
    switch (shape) {
      case Shape::kFlatObject: text += "\"k" + n + "\":" + n; break;
      case Shape::kObjectOfObjects: text += "\"k" + n + "\":{}"; break;
      case Shape::kListOfObjects: text += "{\"a\":" + n + "}"; break;
    }
  }
  text += shape == Shape::kListOfObjects ? "]" : "}";
  return text;
}

void read_document(benchmark::State& state, Shape shape) {
  const std::string text = document(shape, state.range(0));
  for (auto _ : state) {
    std::optional<JsonValue> parsed = parse_json_document(text);
    if (!parsed || static_cast<long>(parsed->size()) != state.range(0)) {
      state.SkipWithError("the document did not read back");
      break;
    }
    benchmark::DoNotOptimize(parsed);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
  state.SetComplexityN(state.range(0));
}

}  // namespace

BENCHMARK_CAPTURE(read_document, flat_object, Shape::kFlatObject)
    ->Arg(20'000)->Arg(200'000)->Arg(2'000'000)->Unit(benchmark::kMillisecond)->Complexity();
BENCHMARK_CAPTURE(read_document, object_of_objects, Shape::kObjectOfObjects)
    ->Arg(20'000)->Arg(200'000)->Arg(2'000'000)->Unit(benchmark::kMillisecond)->Complexity();
BENCHMARK_CAPTURE(read_document, list_of_objects, Shape::kListOfObjects)
    ->Arg(20'000)->Arg(200'000)->Arg(2'000'000)->Unit(benchmark::kMillisecond)->Complexity();

BENCHMARK_MAIN();
