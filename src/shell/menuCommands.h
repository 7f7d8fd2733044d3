// Command identifiers of the tray menu, delivered to the control window as WM_COMMAND.
#pragma once

enum class CommandId : unsigned {
    Settings = 1001,
    Exit = 1002,
    Russian = 1003,
    English = 1004,
};
