// A user's credential attributes read as a decision reads them (copied out of the credentials, then
// every name, count and value into the decision's data), from 10 to 20,000 attributes: the time per
// attribute stays flat when lookups by name are constant-time.
#include <benchmark/benchmark.h>

#include <string>

#include "qzauthzn/azn.h"
#include "rba/KOVAData.h"
#include "rba/KOVAModule.h"

namespace {

void BM_CredentialAttributes(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    azn_attrlist_h_t source = 0, context = 0;
    azn_attrlist_create(&source);
    azn_attrlist_create(&context);
    for (std::size_t i = 0; i < count; ++i) {
        azn_attrlist_add_entry(source, ("attribute-" + std::to_string(i)).c_str(),
                               ("value-" + std::to_string(i)).c_str());
    }
    azn_creds_h_t creds = 0;
    azn_creds_create_from_attrlist(source, &creds);
    for (auto _ : state) {
        azn_attrlist_h_t list = 0;
        rba_retrieve_uxcred_attrs(&list, creds);
        KOVAData data;
        data.loadData(list, context);
        benchmark::DoNotOptimize(data.creds.size());
        azn_attrlist_delete(&list);
    }
    state.SetComplexityN(state.range(0));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
    azn_creds_delete(&creds);
    azn_attrlist_delete(&source);
    azn_attrlist_delete(&context);
}
BENCHMARK(BM_CredentialAttributes)
    ->Arg(10)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(20000)
    ->Complexity()
    ->Unit(benchmark::kMicrosecond);
// A typical user's attributes read from one and from two threads at once: the CPU per read should not grow
// with a second thread when each works on its own lists.
BENCHMARK(BM_CredentialAttributes)->Arg(35)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
