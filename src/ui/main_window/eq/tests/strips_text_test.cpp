#include <gtest/gtest.h>

#include <fmt/format.h>

#include "ui/main_window/core/dialogs.h"
#include "ui/main_window/eq/strips_text.h"
#include "ui/main_window/tests/window_fixture.h"

namespace ui::main_window {
namespace {

using engine::design::FilterKind;
using engine::design::Parts;
using engine::design::QConv;
using engine::eqfit::Band;
using engine::eqfit::BandKind;

engine::design::Source worked_main() {
    auto s = engine::design::Source::make("Main");
    s.gain_db = -2.5f;
    s.delay_ms = 1.234f;
    s.hp = {true, FilterKind::LinkwitzRiley, 24, 80.0f};
    s.bands = {Band{1000.0f, -3.0f, 2.0f, true, BandKind::Peak}, Band{500.0f, 1.0f, 2.0f, false, BandKind::Peak},
               Band{100.0f, 2.0f, 0.7f, true, BandKind::LowShelf}};
    return s;
}

TEST(StripsText, WorkedBlock) {
    EXPECT_EQ(strips_text({worked_main()}, Parts{}),
              "Main\n"
              "  gain -2.5 dB, delay 1.23 ms, polarity normal\n"
              "  HP LR 24 dB/oct at 80 Hz, LP off, bands as Q (RBJ)\n"
              "   1  PK    1000 Hz  -3.0 dB  Q 2.00\n"
              "   3  LS     100 Hz  +2.0 dB\n");
}

TEST(StripsText, TwoSourcesOneEmptyLineApartWithAFinalLineFeed) {
    auto b = engine::design::Source::make("Sub");
    Parts none{false, false, false, false, false, false, false};
    EXPECT_EQ(strips_text({worked_main(), b}, none), "Main\n  gain -2.5 dB\n\nSub\n  gain +0.0 dB\n");
}

TEST(StripsText, PartsConventionsShapingAndFields) {
    auto s = engine::design::Source::make("S");
    s.bands.assign(10, Band{16000.0f, 1.0f, 2.0f, false, BandKind::Peak});
    s.bands[9].on = true;
    s.peq = false;
    s.shaping = engine::eqfit::Shaping::defaults(engine::eqfit::ShapingModel::Callisto);
    s.shaping.on = true;
    s.hp = {true, FilterKind::GalileoHp, 12, 80.4f};
    s.lp = {true, FilterKind::GalileoElliptic, 12, 18000.0f};
    s.invert = true;
    Parts eq_only{true, false, false, false, false, false, false};
    EXPECT_EQ(strip_text(s, eq_only),
              "S\n  gain +0.0 dB\n  bands as Q (RBJ)\n"
              "  shaping (Callisto) +0.0 / +0.0 / +0.0 / +0.0 / +0.0 dB, knees 62 / 250 / 1000 / 4000 Hz, slopes 12 / 12 / 12 / 12 dB/oct\n"
              "  PEQ off\n  10  PK   16000 Hz  +1.0 dB  Q 2.00\n");
    Parts all{};
    s.shaping = engine::eqfit::Shaping::defaults(engine::eqfit::ShapingModel::Galileo);
    s.shaping.on = true;
    s.peq = true;
    s.q_as = QConv::Galileo;
    EXPECT_EQ(strip_text(s, all),
              "S\n  gain +0.0 dB, delay 0.00 ms, polarity inverted\n"
              "  HP 2nd at 80 Hz, LP ell at 18000 Hz, bands as B/W (Galileo)\n"
              "  shaping (Galileo) +0.0 / +0.0 / +0.0 / +0.0 dB, knees 125 / 500 / 4000 Hz\n"
              "  10  PK   16000 Hz  +1.0 dB  B/W 0.50\n");
    s.q_as = QConv::Wing;
    EXPECT_NE(strip_text(s, all).find("  Q 2.50\n"), std::string::npos);
    s.q_as = QConv::AllenHeath;
    s.bands[9].q = 1.41f;
    EXPECT_NE(strip_text(s, all).find("  Width 0.33\n"), std::string::npos);
}

TEST(StripsText, ZonesGiveOneBlockEach) {
    auto s = worked_main();
    s.zones = {engine::design::Zone{.position = "Row 1"}, engine::design::Zone{.position = "Row 5"}};
    Parts zone_only{false, true, false, false, false, false, false};
    const auto blocks = strip_text_lines({s}, zone_only);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].substr(0, blocks[0].find('\n')), "Main / Row 1");
    EXPECT_EQ(blocks[1].substr(0, blocks[1].find('\n')), "Main / Row 5");
    // Zone EQ alone still gives the EQ lines.
    EXPECT_NE(blocks[0].find("bands as Q (RBJ)"), std::string::npos);
}

using StripsExport = testing::Window;

TEST_F(StripsExport, WritesThroughTheDialogAndReports) {
    s().sources.set({"Main"});
    s().design.set(engine::design::Design{{worked_main()}});
    const auto path = home_ / "out.txt";
    panel_answers->push_back(PanelResult{path});
    export_strips(s());
    loop.advance(DIALOG_PAUSE);
    ASSERT_TRUE(drive([&] { return !s().notice.peek().empty(); }));
    EXPECT_EQ(s().notice.peek(), "Exported to " + path.string());
    EXPECT_EQ(test_support::slurp(path), strips_text({worked_main()}, Parts{}));
    ASSERT_EQ(panels->size(), 1u);
    EXPECT_EQ(panels->back().title, "Export strips");
}

}  // namespace
}  // namespace ui::main_window
