#include "account/game_arguments.h"

std::wstring ticketArgument(const std::wstring& ticket) {
    if (ticket.find_first_of(L" \t\n\v\"") == std::wstring::npos) return ticket;
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : ticket) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count as escapes only before a quote.
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        quoted.push_back(c);
        backslashes = 0;
    }
    quoted.append(backslashes * 2, L'\\');
    quoted.push_back(L'"');
    return quoted;
}
