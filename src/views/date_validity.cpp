#include "views/date_validity.h"

#include <QDate>

namespace caskel {

bool isValidDate(const QString& text) {
  if (text.size() != 10 || text[4] != u'-' || text[7] != u'-') return false;
  for (qsizetype i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    // Only ASCII digits: QChar::isDigit would also take other scripts' digits.
    if (text[i] < u'0' || text[i] > u'9') return false;
  }
  // QDate rejects day 30 of February and month 13 rather than rolling them over.
  return QDate(text.left(4).toInt(), text.mid(5, 2).toInt(), text.mid(8, 2).toInt()).isValid();
}

}  // namespace caskel
