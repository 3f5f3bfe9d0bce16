// list-windows' JSON object of an installation (the fields and their order as it always printed
// them, the details nested) and the CSV quoting; the CSV read back by Python's csv module is
// inventory_csv_check.py's.
#include "inventory_csv.h"
#include "inventory_json.h"

#include <gtest/gtest.h>

namespace {

disk::Installation Partition2() {
    disk::Installation i;
    i.volume = {2, 1048576, "NTFS", "System"};
    i.folder = "Windows";
    return i;
}

output::Listing Windows10() {
    output::Listing l;
    l.window = {{"Caption", "19"}, {"MajorVersion", "10"}, {"ProductType", "1"}};
    l.inventory = {"Windows 10 Pro", "19045", 3570, "22H2", "Professional", "2023-11-14T22:13:20Z", "DESK-7", "AMD64"};
    l.name = "Windows 10 Pro";
    return l;
}

TEST(InstallationJson, TheFieldsInTheirOrder) {
    const std::string head =
        R"({"installation":1,"partition":2,"offset":1048576,"fileSystem":"NTFS","label":"System","folder":"Windows",)"
        R"("earlier":false,)";
    // The window's six labels are the columns', whatever the window gave: null for one it did not.
    const std::string version =
        R"("name":"Windows 10 Pro","Caption":"19","MajorVersion":"10","MinorVersion":null,"CSDVersion":null,)"
        R"("ProductType":"1","ProductName":null,"CurrentBuildNumber":"19045",)"
        R"("UBR":3570,"release":"22H2","EditionID":"Professional","installDate":"2023-11-14T22:13:20Z",)"
        R"("computerName":"DESK-7","architecture":"AMD64")";
    output::Listing failed;
    failed.error = "disk.vhdx, partition 2: no SYSTEM hive in System32/config";
    output::Listing empty;  // a registry that keeps none of it
    empty.name = "";
    output::Listing detailed = Windows10();
    detailed.details = installations::Details{};
    detailed.details->timeZoneBias = -60;
    detailed.details->interfaces =
        std::vector<installations::NetworkInterface>{{"{A}", true, {"10.0.0.2"}, "10.0.0.1"}};
    detailed.details->profiles = std::vector<installations::UserProfile>{{"S-1-5-18", std::nullopt, std::nullopt}};
    detailed.details->updates = installations::Updates{3, "KB5031356", "2023-10-16T07:11:36Z"};
    detailed.endOfSupport = "out of support since 2025-10-14";
    const std::pair<output::Listing, std::string> cases[] = {
        {failed, head + R"("error":"disk.vhdx, partition 2: no SYSTEM hive in System32/config"})"},
        {Windows10(), head + version + "}"},
        {empty, head + R"("name":"","Caption":null,"MajorVersion":null,"MinorVersion":null,"CSDVersion":null,)"
                       R"("ProductType":null,"ProductName":null,"CurrentBuildNumber":null,"UBR":null,"release":null,)"
                       R"("EditionID":null,"installDate":null,"computerName":null,"architecture":null})"},
        {detailed,
         head + version +
             R"(,"details":{"registeredOwner":null,"registeredOrganization":null,"productId":null,"installTime":null,)"
             R"("lastShutdown":null,"timeZone":null,"timeZoneBias":-60,"systemLocale":null,"installLanguage":null,)"
             R"("hostName":null,"dnsDomain":null,"logonDomain":null,)"
             R"("interfaces":[{"id":"{A}","dhcp":true,"addresses":["10.0.0.2"],"dhcpServer":"10.0.0.1"}],)"
             R"("profiles":[{"sid":"S-1-5-18","folder":null,"lastLoad":null}],)"
             R"("updates":{"installed":3,"newestKb":"KB5031356","newestInstall":"2023-10-16T07:11:36Z"},)"
             R"("endOfSupport":"out of support since 2025-10-14"}})"},
    };
    for (const auto& [listing, json] : cases)
        EXPECT_EQ(output::JsonText(output::InstallationJson(Partition2(), 1, listing)), json);
}

TEST(InstallationJson, AsListWindowsPrintsItTheSourceFirst) {
    const std::string alone = output::JsonText(output::InstallationJson(Partition2(), 1, Windows10()));
    EXPECT_EQ(output::JsonText(output::InstallationJson("a.vhdx", Partition2(), 1, Windows10())),
              R"({"source":"a.vhdx",)" + alone.substr(1));
    EXPECT_EQ(output::JsonText(output::SourceJson("b.img", "no partition table")),
              R"({"source":"b.img","error":"no partition table"})");
}

TEST(InstallationJson, TextsAsJsonCarriesThem) {
    const std::pair<std::string, std::string> cases[] = {
        {"say \"hi\" \\ there", R"("say \"hi\" \\ there")"},
        {"a\nb\tc\x01\x1f", R"("a\nb\tc\u0001\u001f")"},
        {"caf\xc3\xa9 \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xf0\x9f\x98\x80\""},
        // A lone surrogate from a registry name: U+FFFD for each of its bytes.
        {"\xed\xa0\x80x", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbdx\""},
    };
    for (const auto& [text, json] : cases) EXPECT_EQ(output::JsonText(output::Json(text)), json) << text;
}

TEST(Csv, FieldsQuotedWhereTheyMustBe) {
    const std::pair<std::string, std::string> cases[] = {
        {"Windows 10 Pro", "Windows 10 Pro"},
        {"", ""},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\nlines", "\"two\nlines\""},
        {"cr\r", "\"cr\r\""},
        {" spaced ", " spaced "},
    };
    for (const auto& [text, field] : cases) EXPECT_EQ(output::CsvField(text), field) << text;
}

TEST(Csv, OneRowPerInstallationUnderItsHeader) {
    const auto json = output::InstallationJson(Partition2(), 1, Windows10());
    const std::string header = output::CsvHeader(false), row = output::CsvRow("a,b.vhdx", json, false);
    EXPECT_EQ(header.rfind("source,installation,partition,offset,fileSystem,label,folder,earlier,error,name,", 0), 0u);
    EXPECT_EQ(row.rfind("\"a,b.vhdx\",1,2,1048576,NTFS,System,Windows,false,,Windows 10 Pro,19,10,,,1,,19045,", 0), 0u)
        << row;
    const auto count = [](const std::string& line) { return std::count(line.begin(), line.end(), ','); };
    EXPECT_EQ(count(header), count(row) - 1);  // the source's comma is quoted
    EXPECT_EQ(row.substr(row.size() - 2), "\r\n");
    EXPECT_GT(count(output::CsvHeader(true)), count(header));
    // An empty first field keeps its place: every row has the header's columns.
    const std::string unnamed = output::CsvRow("", output::Json{{"error", "unreadable"}}, false);
    EXPECT_EQ(count(unnamed), count(header)) << unnamed;
    EXPECT_EQ(unnamed.rfind(",,,,,,,,unreadable,", 0), 0u) << unnamed;
}

}  // namespace
