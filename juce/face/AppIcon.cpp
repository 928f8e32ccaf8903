#include "juce/face/AppIcon.h"

#include "juce/face/FacePalette.h"

#include <cmath>

namespace {

// The icon is laid out on a 256-unit square; Grid turns units into pixels of the real
// size, whole pixels for the edges so that 16 and 32 pixels stay sharp.
class Grid {
public:
    explicit Grid(int size) : scale(size / 256.0f) {}
    float px(float units) const { return std::round(units * scale); }
    // At least one pixel, so thin parts do not vanish at the small sizes.
    float atLeastOnePx(float units) const { return std::max(1.0f, px(units)); }
    juce::Rectangle<float> box(float left, float top, float right, float bottom) const {
        return juce::Rectangle<float>::leftTopRightBottom(px(left), px(top), px(right), px(bottom));
    }
    bool isSmall() const { return scale < 48 / 256.0f; }

private:
    float scale;
};

void drawBody(juce::Graphics& g, const Grid& grid, juce::Rectangle<float> body) {
    const float corner = grid.atLeastOnePx(36);
    g.setGradientFill(juce::ColourGradient(FacePalette::PANEL_TOP, 0, body.getY(),
                                           FacePalette::PANEL_BOTTOM, 0, body.getBottom(), false));
    g.fillRoundedRectangle(body, corner);
    const float rim = grid.atLeastOnePx(4);
    g.setColour(juce::Colours::white.withAlpha(0.28f));
    g.drawRoundedRectangle(body.reduced(rim / 2), corner - rim / 2, rim);
    g.setColour(juce::Colours::black);
    g.drawRoundedRectangle(body.reduced(0.5f), corner, 1.0f);
}

// One character as a path scaled to fill its box: as large as the box allows. `weight`
// thickens its strokes, `glow` draws a faint halo around them.
void fillCharacter(juce::Graphics& g, const juce::String& character, juce::Rectangle<float> box,
                   float weight, float glow) {
    juce::GlyphArrangement glyphs;
    glyphs.addLineOfText(
        juce::Font(juce::Font::getDefaultMonospacedFontName(), 100.0f, juce::Font::bold), character,
        0.0f, 0.0f);
    juce::Path path;
    glyphs.createPath(path);
    path.applyTransform(path.getTransformToScaleToFit(box, true, juce::Justification::centred));
    // Stems on pixel edges: sharp instead of smeared over two columns.
    const auto bounds = path.getBounds().expanded(weight / 2);
    path.applyTransform(juce::AffineTransform::translation(
        std::round(bounds.getX()) - bounds.getX(), std::round(bounds.getY()) - bounds.getY()));
    if (glow > 0) {
        g.setColour(FacePalette::AMBER.withAlpha(0.22f));
        g.strokePath(path, juce::PathStrokeType(glow, juce::PathStrokeType::curved,
                                                juce::PathStrokeType::rounded));
    }
    g.setColour(FacePalette::AMBER);
    g.fillPath(path);
    if (weight > 0)
        g.strokePath(path, juce::PathStrokeType(weight));
}

// The display window: bezel, glass and "DOKA" lit in two rows of two cells, as on the
// module's two lines; the small sizes show one large "D" instead, the only text that
// stays readable there.
void drawDisplay(juce::Graphics& g, const Grid& grid, juce::Rectangle<float> bezel) {
    g.setGradientFill(juce::ColourGradient(FacePalette::BEZEL_TOP, 0, bezel.getY(),
                                           FacePalette::BEZEL_BOTTOM, 0, bezel.getBottom(), false));
    g.fillRoundedRectangle(bezel, grid.atLeastOnePx(14));
    const auto glass = bezel.reduced(grid.atLeastOnePx(10));
    g.setGradientFill(juce::ColourGradient(FacePalette::GLASS_TOP, 0, glass.getY(),
                                           FacePalette::GLASS_BOTTOM, 0, glass.getBottom(), false));
    g.fillRoundedRectangle(glass, grid.px(6));

    if (grid.isSmall()) {
        fillCharacter(g, "D", glass.reduced(grid.atLeastOnePx(12)), 0.6f, 0.0f);
        return;
    }
    const auto matrix = glass.reduced(grid.px(10), grid.px(8));
    const float gap = grid.px(8);
    // Upright cells as on the module, centred on the glass.
    const float cellHeight = (matrix.getHeight() - gap) / 2;
    const float cellWidth = std::round(cellHeight * 0.75f);
    const float left = std::round(matrix.getCentreX() - cellWidth - gap / 2);
    const char* const characters[] = {"D", "O", "K", "A"};
    for (int i = 0; i < 4; ++i) {
        const juce::Rectangle<float> cell(left + (i % 2) * (cellWidth + gap),
                                          matrix.getY() + (i / 2) * (cellHeight + gap), cellWidth,
                                          cellHeight);
        // The unlit cell of the character matrix behind the glyph, as on the face.
        g.setColour(FacePalette::AMBER.withAlpha(0.06f));
        g.fillRect(cell);
        fillCharacter(g, characters[i], cell.reduced(grid.px(5)), 0.0f, grid.px(5));
    }

    juce::Path reflection;
    reflection.startNewSubPath(glass.getX(), glass.getY());
    reflection.lineTo(glass.getRight(), glass.getY());
    reflection.lineTo(glass.getRight(), glass.getY() + glass.getHeight() * 0.2f);
    reflection.quadraticTo(glass.getCentreX(), glass.getY() + glass.getHeight() * 0.45f,
                           glass.getX(), glass.getY() + glass.getHeight() * 0.35f);
    reflection.closeSubPath();
    g.setColour(juce::Colours::white.withAlpha(0.07f));
    g.fillPath(reflection);
}

} // namespace

juce::Image drawAppIcon(int size) {
    juce::Image icon(juce::Image::ARGB, size, size, true);
    juce::Graphics g(icon);
    const Grid grid(size);
    drawBody(g, grid, grid.box(0, 0, 256, 256));
    drawDisplay(g, grid, grid.box(18, 30, 238, 226));
    return icon;
}
