#pragma once

#include <QPixmap>

// The main window's picture, 500 by 300 pixels, drawn when the program starts: a server
// cabinet linked to the desks of a network.
QPixmap MakePanelPicture();
