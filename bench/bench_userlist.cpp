// The user list's clean-up tick: the linear clean-up against the pairwise pass, and a whole
// tick on a shown list.
#include "channels/removeduplicates.h"
#include "channels/userlistmodel.h"
#include "common/benchmain.h"
#include "common/pairwisededup.h"

#include <QApplication>
#include <QListView>

namespace {

// n entries, about one in a hundred a copy of an earlier one.
QList<QString> makeList(int n)
{
    QList<QString> list;
    list.reserve(n);
    for (int i = 0; i < n; ++i)
        list.append(i % 100 == 99 ? QStringLiteral("KULLANICI%1").arg(i / 2)
                                  : QStringLiteral("KULLANICI%1").arg(i));
    return list;
}

void BM_RemoveDuplicatesLinear(benchmark::State &state)
{
    const QList<QString> input = makeList(int(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        QList<QString> list = input;
        list.detach();
        state.ResumeTiming();
        benchmark::DoNotOptimize(RemoveDuplicates(list));
    }
}

void BM_RemoveDuplicatesPairwise(benchmark::State &state)
{
    const QList<QString> input = makeList(int(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        QList<QString> list = input;
        list.detach();
        state.ResumeTiming();
        removeDuplicatesPairwise(list);
        benchmark::DoNotOptimize(list.size());
    }
}

// One tick as the window runs it: a copy arrived since the last tick, so the whole list is
// checked, the copy goes and the shown list follows.
void BM_TickAfterArrival(benchmark::State &state)
{
    const int n = int(state.range(0));
    UserListModel model;
    for (const QString &e : makeList(n - 1))
        model.addItem(e);
    QListView view;
    view.setUniformItemSizes(true);
    view.setModel(&model);
    view.show();
    QApplication::processEvents();
    int selected = 5;
    for (auto _ : state) {
        state.PauseTiming();
        model.addItem(model.entries().at(3));
        state.ResumeTiming();
        model.removeDuplicates(&selected);
        state.PauseTiming();
        QApplication::processEvents();
        state.ResumeTiming();
    }
}

// A tick when nothing arrived: the list is not looked at.
void BM_TickUnchanged(benchmark::State &state)
{
    UserListModel model;
    for (const QString &e : makeList(int(state.range(0))))
        model.addItem(e);
    int selected = -1;
    model.removeDuplicates(&selected);
    for (auto _ : state)
        model.removeDuplicates(&selected);
}

} // namespace

BENCHMARK(BM_RemoveDuplicatesLinear)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(32767)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RemoveDuplicatesPairwise)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(32767)
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(2);
BENCHMARK(BM_TickAfterArrival)->Arg(32767)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TickUnchanged)->Arg(32767)->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv)
{
    return runBenchmarks(argc, argv, [](const Timings &t) {
        const auto at = t.find("BM_TickAfterArrival/32767");
        if (at != t.end())
            std::printf("tick at 32,767 entries (goal < 5 ms): %.3f ms\n", at->second / 1e6);
        printRatio(t, "speed-up at 32,767 (goal >= 100)",
                   "BM_RemoveDuplicatesPairwise/32767/iterations:2",
                   "BM_RemoveDuplicatesLinear/32767");
    });
}
