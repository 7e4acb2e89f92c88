// Stands in for libddcutil in the brightness tests: the displays come from
// FAKE_DDCUTIL_DISPLAYS ("50/100,x,r": current/maximum per display, "x" fails
// to open, "r" fails to read), and every open, close, set and free is
// appended to the file named by FAKE_DDCUTIL_LOG.
#include <ddcutil_c_api.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

struct Display {
  int number = 0;
  bool opens = true;
  bool reads = true;
  unsigned current = 0;
  unsigned maximum = 0;
};

std::vector<Display>& Displays() {
  static std::vector<Display> displays = [] {
    std::vector<Display> parsed;
    const char* text = std::getenv("FAKE_DDCUTIL_DISPLAYS");
    std::string rest = text ? text : "";
    while (!rest.empty()) {
      const std::size_t comma = rest.find(',');
      const std::string item = rest.substr(0, comma);
      rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
      Display display;
      display.number = static_cast<int>(parsed.size()) + 1;
      if (item == "x") {
        display.opens = false;
      } else if (item == "r") {
        display.reads = false;
      } else if (std::sscanf(item.c_str(), "%u/%u", &display.current, &display.maximum) != 2) {
        continue;
      }
      parsed.push_back(display);
    }
    return parsed;
  }();
  return displays;
}

void Note(const std::string& line) {
  const char* path = std::getenv("FAKE_DDCUTIL_LOG");
  if (!path) return;
  if (std::FILE* file = std::fopen(path, "a")) {
    std::fprintf(file, "%s\n", line.c_str());
    std::fclose(file);
  }
}

Display* FromHandle(DDCA_Display_Handle handle) { return static_cast<Display*>(handle); }

}  // namespace

extern "C" {

DDCA_Status ddca_get_display_info_list2(bool, DDCA_Display_Info_List** dlist_loc) {
  std::vector<Display>& displays = Displays();
  const std::size_t bytes = sizeof(DDCA_Display_Info_List) + displays.size() * sizeof(DDCA_Display_Info);
  auto* list = static_cast<DDCA_Display_Info_List*>(std::calloc(1, bytes));
  if (!list) return -1;
  list->ct = static_cast<int>(displays.size());
  for (std::size_t i = 0; i < displays.size(); ++i) {
    std::memcpy(list->info[i].marker, DDCA_DISPLAY_INFO_MARKER, 4);
    list->info[i].dispno = displays[i].number;
    list->info[i].dref = &displays[i];
  }
  *dlist_loc = list;
  return 0;
}

void ddca_free_display_info_list(DDCA_Display_Info_List* dlist) {
  Note("free");
  std::free(dlist);
}

DDCA_Status ddca_open_display2(DDCA_Display_Ref ddca_dref, bool, DDCA_Display_Handle* ddca_dh_loc) {
  Display* display = static_cast<Display*>(ddca_dref);
  if (!display->opens) return -1;
  Note("open " + std::to_string(display->number));
  *ddca_dh_loc = display;
  return 0;
}

DDCA_Status ddca_close_display(DDCA_Display_Handle ddca_dh) {
  if (ddca_dh) Note("close " + std::to_string(FromHandle(ddca_dh)->number));
  return 0;
}

DDCA_Status ddca_get_non_table_vcp_value(DDCA_Display_Handle ddca_dh, DDCA_Vcp_Feature_Code feature_code,
                                         DDCA_Non_Table_Vcp_Value* valrec) {
  const Display* display = FromHandle(ddca_dh);
  if (!display->reads || feature_code != 0x10) return -1;
  valrec->mh = static_cast<uint8_t>(display->maximum >> 8);
  valrec->ml = static_cast<uint8_t>(display->maximum & 0xFF);
  valrec->sh = static_cast<uint8_t>(display->current >> 8);
  valrec->sl = static_cast<uint8_t>(display->current & 0xFF);
  return 0;
}

DDCA_Status ddca_set_non_table_vcp_value(DDCA_Display_Handle ddca_dh, DDCA_Vcp_Feature_Code feature_code,
                                         uint8_t hi_byte, uint8_t lo_byte) {
  Display* display = FromHandle(ddca_dh);
  display->current = static_cast<unsigned>(hi_byte) << 8 | lo_byte;
  Note("set " + std::to_string(display->number) + " feature " + std::to_string(feature_code) + " to " +
       std::to_string(display->current));
  return 0;
}

}  // extern "C"
