#pragma once

class Form1;
class frmAbout;

// The program's two windows, each a single application-wide instance.
namespace Windows {

// The main window; created on first use.
Form1 *mainWindow();
// Called by each main window as it is made; the first one becomes the instance.
void registerMainWindow(Form1 *window);
// The about window, owned by the main window; created on first use.
frmAbout *aboutWindow();

} // namespace Windows
