#include "juce/face/FaceDrawing.h"

#include "juce/face/FacePalette.h"

#include <cmath>

namespace {

using FaceDrawing::HEIGHT;
using FaceDrawing::WIDTH;
const float CORNER = 14.0f;

using FacePalette::AMBER;
using FacePalette::PANEL_BOTTOM;
using FacePalette::PANEL_TOP;
using FacePalette::PRINT;
using FacePalette::PRINT_DIM;

juce::Font printFont(float height, bool bold = true) {
    return juce::Font("DejaVu Sans", height, bold ? juce::Font::bold : juce::Font::plain)
        .withExtraKerningFactor(0.12f);
}

void drawPrint(juce::Graphics& g, const juce::String& text, juce::Rectangle<float> area,
               float height, juce::Justification just = juce::Justification::centred,
               juce::Colour colour = PRINT) {
    g.setFont(printFont(height));
    g.setColour(colour);
    g.drawText(text, area, just, false);
}

// A recess in the panel: a dark hollow whose lower rim catches the light.
void drawRecess(juce::Graphics& g, juce::Rectangle<float> area, float corner, float darkness,
                float rimLight) {
    g.setColour(juce::Colours::black.withAlpha(darkness));
    g.fillRoundedRectangle(area, corner);
    g.setColour(juce::Colours::white.withAlpha(rimLight));
    g.drawRoundedRectangle(area.translated(0, 1.0f), corner, 1.0f);
}

// The anodised body: a rounded slab with a vertical light fall-off, fine brushing lines
// and a bevelled rim catching light from above.
void drawBody(juce::Graphics& g) {
    const juce::Rectangle<float> body(0.5f, 0.5f, WIDTH - 1.0f, HEIGHT - 1.0f);
    g.setGradientFill(juce::ColourGradient(PANEL_TOP, 0, 0, PANEL_BOTTOM, 0, HEIGHT, false));
    g.fillRoundedRectangle(body, CORNER);

    juce::Graphics::ScopedSaveState clip(g);
    juce::Path outline;
    outline.addRoundedRectangle(body, CORNER);
    g.reduceClipRegion(outline);
    juce::Random random(20240611);
    for (int y = 0; y < HEIGHT; ++y) {
        const float alpha = 0.015f + random.nextFloat() * 0.035f;
        g.setColour(
            (random.nextBool() ? juce::Colours::white : juce::Colours::black).withAlpha(alpha));
        g.drawHorizontalLine(y, 0.0f, static_cast<float>(WIDTH));
    }
    g.setGradientFill(juce::ColourGradient(juce::Colours::white.withAlpha(0.10f), WIDTH * 0.3f, 0,
                                           juce::Colours::transparentWhite, WIDTH * 0.55f,
                                           HEIGHT * 0.6f, false));
    g.fillRoundedRectangle(body, CORNER);

    g.setColour(juce::Colours::white.withAlpha(0.28f));
    g.drawRoundedRectangle(body.reduced(1.5f), CORNER - 1.5f, 1.5f);
    g.setGradientFill(juce::ColourGradient(juce::Colours::transparentBlack, 0, HEIGHT * 0.5f,
                                           juce::Colours::black.withAlpha(0.7f), 0, HEIGHT, false));
    g.drawRoundedRectangle(body.reduced(1.0f), CORNER - 1.0f, 2.5f);
    g.setColour(juce::Colours::black);
    g.drawRoundedRectangle(body, CORNER, 1.0f);
}

void drawScrew(juce::Graphics& g, float cx, float cy) {
    const float r = 6.5f;
    g.setColour(juce::Colours::black.withAlpha(0.55f));
    g.fillEllipse(cx - r - 1, cy - r - 0.5f, 2 * r + 2, 2 * r + 2);
    g.setGradientFill(juce::ColourGradient(juce::Colour(0xffb9bcc0), cx - r, cy - r,
                                           juce::Colour(0xff4a4d52), cx + r, cy + r, false));
    g.fillEllipse(cx - r, cy - r, 2 * r, 2 * r);
    juce::Path slot;
    slot.addRectangle(-r * 0.8f, -1.0f, r * 1.6f, 2.0f);
    slot.applyTransform(juce::AffineTransform::rotation(0.6f).translated(cx, cy));
    g.setColour(juce::Colour(0xff202225));
    g.fillPath(slot);
}

// A recessed slot in the panel with a rubber-capped push button in it.
void drawPushButton(juce::Graphics& g, juce::Rectangle<float> area, juce::Colour cap) {
    drawRecess(g, area, 7.0f, 0.75f, 0.18f);

    const auto capArea = area.reduced(4.0f, 4.0f).withTrimmedBottom(1.5f);
    g.setColour(juce::Colours::black.withAlpha(0.6f));
    g.fillRoundedRectangle(capArea.translated(0, 2.0f), 5.0f);
    g.setGradientFill(juce::ColourGradient(cap.brighter(0.35f), 0, capArea.getY(),
                                           cap.darker(0.45f), 0, capArea.getBottom(), false));
    g.fillRoundedRectangle(capArea, 5.0f);
    g.setColour(juce::Colours::white.withAlpha(0.22f));
    g.drawHorizontalLine(static_cast<int>(capArea.getY()) + 1, capArea.getX() + 5,
                         capArea.getRight() - 5);
    g.setColour(juce::Colours::black.withAlpha(0.5f));
    g.drawRoundedRectangle(capArea, 5.0f, 1.0f);
}

// The caption lies within the button's area, so that a click on it is a click on the button
// (and never on the web link that reaches under the right one).
void drawSelectButton(juce::Graphics& g, juce::Rectangle<float> area) {
    drawPushButton(g, area.withTrimmedBottom(15.0f), juce::Colour(0xff4b4f55));
    const auto cap = area.withTrimmedBottom(15.0f).reduced(4.0f);
    // A small amber LED in the cap's corner.
    g.setColour(AMBER.withAlpha(0.25f));
    g.fillEllipse(cap.getRight() - 14, cap.getY() + 5, 8, 8);
    g.setColour(AMBER.darker(0.3f));
    g.fillEllipse(cap.getRight() - 12.5f, cap.getY() + 6.5f, 5, 5);
    drawPrint(g, "MIDI", cap.withTrimmedRight(10), 12.0f, juce::Justification::centred,
              PRINT.withAlpha(0.85f));
    drawPrint(g, "SELECT DEVICE", area.withTop(area.getBottom() - 14.0f), 9.0f);
}

void drawCloseButton(juce::Graphics& g, juce::Rectangle<float> area) {
    drawPushButton(g, area, juce::Colour(0xff7a1d18));
    const auto c = area.getCentre().translated(0, -0.5f);
    juce::Path power;
    power.addCentredArc(c.x, c.y, 7.0f, 7.0f, 0.0f, 0.6f, juce::MathConstants<float>::twoPi - 0.6f,
                        true);
    power.startNewSubPath(c.x, c.y - 9.0f);
    power.lineTo(c.x, c.y - 2.0f);
    g.setColour(PRINT);
    g.strokePath(power, juce::PathStrokeType(1.8f, juce::PathStrokeType::curved,
                                             juce::PathStrokeType::rounded));
}

// The display window: a machined bezel around a dark amber-tinted glass, with the faint
// cells of the 2 x 8 character matrix and a reflection across the top.
void drawDisplay(juce::Graphics& g, juce::Rectangle<float> glass) {
    const auto bezel = glass.expanded(9.0f);
    g.setColour(juce::Colours::white.withAlpha(0.16f));
    g.drawRoundedRectangle(bezel.expanded(1.0f).translated(0, 1.0f), 10.0f, 1.2f);
    g.setGradientFill(juce::ColourGradient(FacePalette::BEZEL_TOP, 0, bezel.getY(),
                                           FacePalette::BEZEL_BOTTOM, 0, bezel.getBottom(), false));
    g.fillRoundedRectangle(bezel, 10.0f);

    g.setGradientFill(juce::ColourGradient(FacePalette::GLASS_TOP, 0, glass.getY(),
                                           FacePalette::GLASS_BOTTOM, 0, glass.getBottom(), false));
    g.fillRoundedRectangle(glass, 4.0f);

    // Unlit character cells, two rows of eight, on the grid of the display font the
    // program draws its lines in (the same font, size and centring).
    const juce::Font displayFont(juce::Font::getDefaultMonospacedFontName(), 130.0f,
                                 juce::Font::plain);
    const float pitch = displayFont.getStringWidthFloat("12345678") / 8.0f;
    const float left = glass.getX() + (glass.getWidth() - 8 * pitch) / 2.0f - 8.0f + 5.0f;
    const float tops[] = {glass.getY() + 17.0f, glass.getY() + 117.0f};
    const float cellHeight = 92.0f;
    for (float top : tops)
        for (int c = 0; c < 8; ++c) {
            const juce::Rectangle<float> cell(left + c * pitch, top, pitch - 5.0f, cellHeight);
            g.setColour(AMBER.withAlpha(0.045f));
            g.fillRect(cell);
            g.setColour(AMBER.withAlpha(0.05f));
            for (float x = cell.getX() + 6; x < cell.getRight() - 2; x += 11.0f)
                for (float y = cell.getY() + 6; y < cell.getBottom() - 2; y += 11.0f)
                    g.fillEllipse(x - 2, y - 2, 4, 4);
        }

    juce::Path reflection;
    reflection.startNewSubPath(glass.getX(), glass.getY());
    reflection.lineTo(glass.getRight(), glass.getY());
    reflection.lineTo(glass.getRight(), glass.getY() + 30);
    reflection.quadraticTo(glass.getCentreX(), glass.getY() + 70, glass.getX(), glass.getY() + 55);
    reflection.closeSubPath();
    g.setGradientFill(juce::ColourGradient(juce::Colours::white.withAlpha(0.07f), 0, glass.getY(),
                                           juce::Colours::transparentWhite, 0, glass.getY() + 70,
                                           false));
    g.fillPath(reflection);
    g.setColour(juce::Colours::black);
    g.drawRoundedRectangle(glass, 4.0f, 2.0f);
}

// A five-pin DIN socket as on the module's back, shown on the face for the ports.
void drawDinSocket(juce::Graphics& g, float cx, float cy, const juce::String& label) {
    const float r = 17.0f;
    g.setGradientFill(juce::ColourGradient(juce::Colour(0xffc8cbd0), cx, cy - r,
                                           juce::Colour(0xff53565b), cx, cy + r, false));
    g.fillEllipse(cx - r, cy - r, 2 * r, 2 * r);
    g.setColour(juce::Colour(0xff0c0c0d));
    g.fillEllipse(cx - r + 3, cy - r + 3, 2 * r - 6, 2 * r - 6);
    g.setColour(juce::Colour(0xff9a9da2));
    for (int pin = 0; pin < 5; ++pin) {
        const float angle = juce::MathConstants<float>::pi * (0.75f + pin * 0.375f);
        g.fillEllipse(cx + std::cos(angle) * 8.5f - 1.8f, cy + std::sin(angle) * 8.5f - 1.8f, 3.6f,
                      3.6f);
    }
    g.fillRect(cx - 2.0f, cy + 9.0f, 4.0f, 3.0f);
    drawPrint(g, label, {cx - 40, cy + r + 3, 80, 14}, 9.0f);
}

// The unlit lens of an activity light, set into the panel.
void drawLens(juce::Graphics& g, float cx, float cy) {
    g.setColour(juce::Colours::black.withAlpha(0.7f));
    g.fillEllipse(cx - 6.5f, cy - 6.5f, 13, 13);
    g.setColour(juce::Colours::white.withAlpha(0.2f));
    g.drawEllipse(cx - 6.5f, cy - 5.5f, 13, 13, 1.0f);
    g.setGradientFill(juce::ColourGradient(juce::Colour(0xff2c3a2e), cx - 2, cy - 2,
                                           juce::Colour(0xff0d120e), cx + 4, cy + 4, true));
    g.fillEllipse(cx - 4.5f, cy - 4.5f, 9, 9);
}

void drawBrand(juce::Graphics& g) {
    // The maker's name, engraved, where the main panel's web link lies and the right
    // button does not: the whole name opens the maker's page.
    const auto area = FaceDrawing::BRAND_AREA.toFloat();
    const juce::Rectangle<float> brand = area.withHeight(36.0f);
    g.setFont(juce::Font("DejaVu Sans", 26.0f, juce::Font::bold).withExtraKerningFactor(0.2f));
    g.setColour(juce::Colours::black.withAlpha(0.6f));
    g.drawText("FENNIC", brand.translated(0, 1.5f), juce::Justification::centred, false);
    g.setColour(PRINT);
    g.drawText("FENNIC", brand, juce::Justification::centred, false);
    drawPrint(g, "L A B S", area.withTrimmedTop(36.0f), 10.0f, juce::Justification::centred,
              PRINT.withAlpha(0.7f));

    // Bottom left: the model plate.
    const juce::Rectangle<float> plate(30, 342, 250, 104);
    drawRecess(g, plate, 6.0f, 0.35f, 0.12f);
    g.setFont(juce::Font("DejaVu Sans", 56.0f, juce::Font::bold).withExtraKerningFactor(0.1f));
    g.setColour(AMBER.withAlpha(0.9f));
    g.drawText("DOKA", plate.withHeight(70).translated(0, 4), juce::Justification::centred, false);
    drawPrint(g, "DISPLAY MODULE", plate.withTrimmedTop(70).withHeight(16), 10.5f);
    drawPrint(g, "MIDI  2 x 8 CHARACTER", plate.withTrimmedTop(86).withHeight(14), 8.0f,
              juce::Justification::centred, PRINT_DIM);
}

void drawReceiveChannel(juce::Graphics& g) {
    drawPrint(g, "RECEIVE CHANNEL", {538, 436, 102, 14}, 9.0f);
    const juce::Rectangle<float> slot(538, 453, 102, 20);
    drawRecess(g, slot, 4.0f, 0.8f, 0.15f);
    juce::Path arrow;
    arrow.addTriangle(slot.getRight() - 16, slot.getCentreY() - 3, slot.getRight() - 6,
                      slot.getCentreY() - 3, slot.getRight() - 11, slot.getCentreY() + 3);
    g.setColour(PRINT_DIM);
    g.fillPath(arrow);
}

void drawWebBadge(juce::Graphics& g) {
    const juce::Rectangle<float> badge(587, 335, 38, 22);
    g.setColour(juce::Colours::black.withAlpha(0.4f));
    g.fillRoundedRectangle(badge, 3.0f);
    drawPrint(g, "www", badge, 10.0f, juce::Justification::centred, PRINT_DIM);
}

} // namespace

namespace FaceDrawing {

void draw(juce::Graphics& g) {
    drawBody(g);
    drawScrew(g, 22, 22);
    drawScrew(g, WIDTH - 20.0f, 414.0f);
    drawScrew(g, 22, HEIGHT - 22.0f);
    drawSelectButton(g, {56, 4, 123, 59});
    drawSelectButton(g, {482, 4, 104, 59});
    drawCloseButton(g, {596, 6, 36, 30});
    drawBrand(g);
    drawDisplay(g, {21, 95, 600, 226});
    drawDinSocket(g, 350, 380, "MIDI IN");
    drawDinSocket(g, 440, 380, "MIDI THRU");
    drawLens(g, IN_LIGHT_X, LIGHT_Y);
    drawLens(g, THRU_LIGHT_X, LIGHT_Y);
    drawWebBadge(g);
    drawReceiveChannel(g);
}

} // namespace FaceDrawing
