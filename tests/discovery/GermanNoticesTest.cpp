// Its own executable: gettext keeps what it has looked up for the life of
// the process, so the German catalogue must not meet the untranslated tests.
#include <cstdlib>

#include "ScanFixture.h"
#include "platform/intl/Localization.h"

namespace zivuv::testing {
namespace {

class GermanScanTest : public ScanTest {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(::setenv("LANGUAGE", "de", 1), 0);
    ASSERT_EQ(::setenv("LC_ALL", "C.UTF-8", 1), 0);
    platform::initLocalization(ZIVUV_TEST_LOCALEDIR);
  }
};

TEST_F(GermanScanTest, NoticesUseTheGermanCatalogue) {
  repo("alpha");
  EXPECT_EQ(scan(), 1);
  ASSERT_EQ(notices_.calls.size(), 2u);
  EXPECT_EQ(notices_.calls[0].first, "com.rudirideva.Zivuv.DefaultsChanged");
  EXPECT_EQ(notices_.calls[1].first, "Repository automatisch hinzugefügt");
  EXPECT_EQ(notices_.calls[1].second, "Zivuv überwacht jetzt den Ordner alpha");

  notices_.calls.clear();
  repo("beta");
  repo("gamma");
  EXPECT_EQ(scan(), 2);
  ASSERT_EQ(notices_.calls.size(), 2u);
  EXPECT_EQ(notices_.calls[1].first, "2 Repositorys hinzugefügt");
  EXPECT_EQ(notices_.calls[1].second, "Zivuv überwacht jetzt 2 weitere Repositorys");
}

}  // namespace
}  // namespace zivuv::testing
