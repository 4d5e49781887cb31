// Protocol text is bytes; the programs show it as UTF-8, or as Latin-1 when the bytes are not
// UTF-8, and send back exactly the bytes they received for whatever the person left alone. The
// forms, the dialogs and the client programs convert here and nowhere else.
//
//   TWireText city(user.City());
//   edtCity->setText(city.Shown());
//   ...
//   user.SetCity(city.Bytes(edtCity->text()));  // the old bytes unless the text was changed
#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace zorva {

// UTF-8 when `bytes` are valid UTF-8, Latin-1 otherwise (every byte is a Latin-1 character, so
// nothing is lost or replaced).
QString ShowWireText(std::string_view bytes);
// What the person typed, as it goes on the wire: UTF-8.
std::string WireTextOf(const QString& text);

// One received text and how it was shown, so that an unchanged field goes back byte for byte.
class TWireText {
 public:
  TWireText() = default;
  explicit TWireText(std::string bytes) : FBytes(std::move(bytes)), FShown(ShowWireText(FBytes)) {}

  const std::string& Received() const { return FBytes; }
  const QString& Shown() const { return FShown; }
  // The received bytes while `now` is still what was shown, otherwise `now` as UTF-8.
  std::string Bytes(const QString& now) const { return now == FShown ? FBytes : WireTextOf(now); }

 private:
  std::string FBytes;
  QString FShown;
};

}  // namespace zorva
