#include "mdf4/mdf4_header_xml.h"

#include "mdf4/mdf4_origin.h"

namespace quarn::mdf4 {

bool history_comment(DynString& s, StrView version) {
  return dynstr_append(s,
                       "<FHcomment>\n<TX>created</TX>\n<tool_id>quarn</tool_id>\n"
                       "<tool_vendor>The quarn developers</tool_vendor>\n<tool_version>") != nullptr &&
         mdf4_append_xml(s, version) && dynstr_append(s, "</tool_version>\n</FHcomment>\n") != nullptr;
}

bool header_comment(DynString& s, const LogInfo& info) {
  if (dynstr_append(s, "<HDcomment>\n<TX>") == nullptr) return false;
  if (info.source_name.length > 0) {
    if (!mdf4_append_origin(s, info.source_name)) return false;
  }
  if (dynstr_append(s, "</TX>\n<common_properties>\n") == nullptr) return false;
  for (std::size_t i = 0; i < info.property_count; ++i) {
    const LogProperty& p = info.properties[i];
    if (dynstr_append(s, "<e name=\"") == nullptr || !mdf4_append_xml(s, p.key) || dynstr_append(s, "\">") == nullptr ||
        !mdf4_append_xml(s, p.value) || dynstr_append(s, "</e>\n") == nullptr) {
      return false;
    }
  }
  return dynstr_append(s, "</common_properties>\n</HDcomment>\n") != nullptr;
}

}  // namespace quarn::mdf4
