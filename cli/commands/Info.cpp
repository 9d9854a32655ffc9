// info: the server's names and its database table, as loaded on admission.

#include "Commands.h"

#include "CliOutput.h"
#include "CommandSupport.h"
#include "RequestDispatcher.h"

bool Info(TCliContext& ctx) {
    const TRequestDispatcher& d = *RequestDispatcher;
    TServerEntry& server = RequestDispatcher->Server(1);
    if (ctx.Json) {
        TJsonWriter out;
        out.BeginObject();
        out.Key("server_name").String(Text(server.ServerName));
        out.Key("center_name").String(Text(server.CenterName));
        out.Key("center_text").String(Text(server.CenterText));
        out.Key("security_kind").Number(server.SecurityKind);
        out.Key("databases").BeginArray();
        for (int i = 1; i <= d.DatabaseCount; ++i) {
            const TDatabaseEntry& e = RequestDispatcher->Database(i);
            out.BeginObject();
            out.Key("id").Number(e.DatabaseId);
            out.Key("number").Number(e.Number);
            out.Key("handle").Number(e.Handle);
            out.Key("flags").Number(e.Flags);
            out.Key("name").String(Text(e.Name));
            out.Key("text").String(Text(e.Text));
            out.EndObject();
        }
        out.EndArray().EndObject().Finish();
        return true;
    }
    Out("Server Name: " + EscapeControls(Text(server.ServerName)) + '\n');
    Out("Center Name: " + EscapeControls(Text(server.CenterName)) + '\n');
    Out("Center Text: " + EscapeControls(Text(server.CenterText)) + '\n');
    Out("Security Kind: " + std::to_string(int{server.SecurityKind}) + "\n\n");
    std::vector<std::vector<std::string>> rows = {
        {"ID", "NUMBER", "HANDLE", "FLAGS", "NAME", "TEXT"}};
    for (int i = 1; i <= d.DatabaseCount; ++i) {
        const TDatabaseEntry& e = RequestDispatcher->Database(i);
        rows.push_back({std::to_string(e.DatabaseId), std::to_string(e.Number),
                        std::to_string(e.Handle), std::to_string(e.Flags), Text(e.Name),
                        Text(e.Text)});
    }
    PrintTable(rows);
    return true;
}
