// The application object: prepares the process, runs the update dialog as
// the main window and cleans up when it closes.
#pragma once

#include "ui/dialog_layer.h"

class COrvApp : public ui::Application {
  protected:
    bool InitInstance() override;
    int ExitInstance() override;

  private:
    bool m_lockCreated = false;
};
