#include "gui/Artwork.h"

#include <wx/image.h>

#include <algorithm>

#include "gui/QrGrid.h"

namespace vandrel {
namespace {

// A dark rounded phone with a blue screen and two amber signal arcs. Edges
// are cut at half coverage: XPM has no partial transparency, and a hard edge
// stays clean on both light and dark panels.
const char* const kAppIconXpm[] = {
    "32 32 50 1",
    ". c None",
    "a c #0878C0",
    "b c #0880C0",
    "c c #1068A0",
    "d c #1070A8",
    "e c #1078B0",
    "f c #1080C8",
    "g c #1088C8",
    "h c #185878",
    "i c #1878B0",
    "j c #1880B0",
    "k c #1888D0",
    "l c #1890D0",
    "m c #203848",
    "n c #2080B8",
    "o c #2088B8",
    "p c #2090D0",
    "q c #2098D8",
    "r c #283038",
    "s c #283840",
    "t c #284850",
    "u c #2888C0",
    "v c #2890C0",
    "w c #2898D8",
    "x c #28A0D8",
    "y c #3090C0",
    "z c #3090C8",
    "A c #3098C8",
    "B c #30A0E0",
    "C c #30A8E0",
    "D c #384048",
    "E c #384848",
    "F c #387898",
    "G c #3898C8",
    "H c #38A0D0",
    "I c #38A8E8",
    "J c #38B0E8",
    "K c #40A0C8",
    "L c #40A0D0",
    "M c #40A8D0",
    "N c #40B0E8",
    "O c #40B8F0",
    "P c #48B8F0",
    "Q c #48C0F0",
    "R c #506068",
    "S c #788890",
    "T c #789098",
    "U c #809098",
    "V c #90A0B0",
    "W c #FFB000",
    "................................",
    "................................",
    ".......rrrrrrrrrr...............",
    "......rrrrSUUSrrrr..............",
    ".....rrrrrDEEDrrrrr.............",
    ".....rrtFFFFFFFFtrr.............",
    ".....rrKQQQQQQQQKrr......W......",
    ".....rrMPPPPPPPPMrr......WWW....",
    ".....rrLOOOOOOOOLrr......WWW....",
    ".....rrHNNNNNNNNHrr.......WWW...",
    ".....rrGJJJJJJJJGrr..WWW..WWW...",
    ".....rrAIIIIIIIIArr..WWWW..WWW..",
    ".....rrzCCCCCCCCzrr...WWW..WWW..",
    ".....rryBBBBBBBByrr....WWW..WW..",
    ".....rrvxxxxxxxxvrr....WWW..WWW.",
    ".....rruwwwwwwwwurr....WWW..WWW.",
    ".....rroqqqqqqqqorr....WWW..WWW.",
    ".....rrnppppppppnrr....WWW..WWW.",
    ".....rrnllllllllnrr....WWW..WW..",
    ".....rrjkkkkkkkkjrr...WWW..WWW..",
    ".....rriggggggggirr..WWWW..WWW..",
    ".....rrefffffffferr..WWW..WWW...",
    ".....rrdbbbbbbbbdrr.......WWW...",
    ".....rrcaaaaaaaacrr......WWW....",
    ".....rrmhhhhhhhhmrr......WWW....",
    ".....rrrrrrrrrrrrrr......W......",
    ".....rrrrrsTTsrrrrr.............",
    ".....rrrrrEVVErrrrr.............",
    "......rrrrrRRrrrrr..............",
    ".......rrrrrrrrrr...............",
    "................................",
    "................................"
};

}  // namespace

wxIcon MakeAppIcon() { return wxIcon(kAppIconXpm); }

wxBitmap MakeQrBitmap(const std::string& text, wxSize size) {
  const QrImage qr = MakeQrImage(text, size.GetWidth(), size.GetHeight());
  if (qr.rgb.empty()) return wxBitmap();
  wxImage image(qr.width, qr.height, false);
  std::copy(qr.rgb.begin(), qr.rgb.end(), image.GetData());
  return wxBitmap(image);
}

}  // namespace vandrel
