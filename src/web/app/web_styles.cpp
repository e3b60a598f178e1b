// The CSS attribute tables (see web_styles.h).
#include "web/app/web_styles.h"

namespace tovenmarsh::web {

const TWebAttributes& OverviewAttributes() {
  static const TWebAttributes kOverview = {
      "class=\"OverviewTableStyle\" width=\"100%\"", "class=\"OverviewHeaderCellStyle\"",
      "class=\"OverviewCellEvenStyle\"", "class=\"OverviewCellOddStyle\"", nullptr};
  return kOverview;
}

const TWebAttributes& FormAttributes() {
  static const TWebAttributes kForm = {
      "class=\"FormTableStyle\" width=\"100%\"", "class=\"FormHeaderCellStyle\"",
      "class=\"FormCellEvenStyle\" valign=\"top\"", "class=\"FormCellOddStyle\" valign=\"top\"",
      "class=\"FormFieldStyle\""};
  return kForm;
}

}  // namespace tovenmarsh::web
