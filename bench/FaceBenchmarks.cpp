// Drawing the face at the window's scales: the first paint after a scale change draws it
// afresh, later paints copy the kept image.
#include "juce/common/PictureAtScale.h"
#include "juce/face/FaceDrawing.h"

#include <benchmark/benchmark.h>
#include <juce_gui_basics/juce_gui_basics.h>

namespace {

PictureAtScale makeFace() {
    return PictureAtScale(FaceDrawing::draw, FaceDrawing::WIDTH, FaceDrawing::HEIGHT);
}

// Arg: the scale in percent.
void BM_DrawFaceAtScale(benchmark::State& state) {
    const juce::ScopedJuceInitialiser_GUI juce;
    const PictureAtScale face = makeFace();
    const float scale = static_cast<float>(state.range(0)) / 100.0f;
    for (auto _ : state)
        benchmark::DoNotOptimize(face.render(scale));
}
BENCHMARK(BM_DrawFaceAtScale)
    ->Arg(150)
    ->Arg(200)
    ->Arg(300)
    ->Arg(400)
    ->Unit(benchmark::kMillisecond);

// A repaint of the whole window at 400 % once the face is kept.
void BM_RepaintKeptFaceAt400(benchmark::State& state) {
    const juce::ScopedJuceInitialiser_GUI juce;
    PictureAtScale face = makeFace();
    juce::Image window(juce::Image::ARGB, FaceDrawing::WIDTH * 4, FaceDrawing::HEIGHT * 4, true);
    juce::Graphics g(window);
    g.addTransform(juce::AffineTransform::scale(4.0f));
    face.paint(g);
    for (auto _ : state)
        face.paint(g);
}
BENCHMARK(BM_RepaintKeptFaceAt400)->Unit(benchmark::kMillisecond);

} // namespace
