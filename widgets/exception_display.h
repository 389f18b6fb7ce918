#pragma once
// Where an error goes that escapes an event handler of a widget. Qt's own
// code is built without exception support, so an exception must not unwind
// through it: the widgets' handlers (and the forms' handlers that Qt calls)
// catch at their own edge and hand the error here. The application installs
// its default handler, a message box; until then the text goes to the Qt
// warning log.

#include <exception>
#include <functional>

namespace widgets {

void SetExceptionDisplay(std::function<void(const std::exception&)> display);
void ShowException(const std::exception& error);

// Runs a handler; an exception it raises is shown and goes no further.
template <class F>
void RunHandler(F&& handler) {
  try {
    handler();
  } catch (const std::exception& error) {
    ShowException(error);
  }
}

}  // namespace widgets
