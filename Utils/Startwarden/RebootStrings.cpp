// The reboot prompt's strings: 101 the question, 102 the caption, one table per
// language (UTF-8).  The Finnish table carries the English question.
#include <kpres.h>

namespace {

// Chinese (Traditional, Taiwan)
const KpStringEntry k1028[] = {{101, "要使更改生效，必須重新啟動電腦。是否要立即重新啟動系統？"},
                               {102, "Korvane Installer"}};
// Danish
const KpStringEntry k1030[] = {{101,
                                "Du skal genstarte computeren før ændringerne træder i kraft. Vil "
                                "du genstarte computeren nu?"},
                               {102, "Korvane Installer"}};
// German
const KpStringEntry k1031[] = {{101,
                                "Sie müssen den Computer neu starten, damit die Änderungen in "
                                "Kraft treten. Soll der Computer jetzt neu gestartet werden?"},
                               {102, "Korvane Installer"}};
// English (United States)
const KpStringEntry k1033[] = {{101,
                                "You must restart your computer for the changes to take effect. "
                                "\nDo you want to restart your system now?"},
                               {102, "Korvane Installer"}};
// Spanish (traditional sort)
const KpStringEntry k1034[] = {{101,
                                "Es preciso reiniciar el sistema para que los cambios entren en "
                                "vigor. ¿Desea reiniciar ahora?"},
                               {102, "Korvane Installer"}};
// Finnish
const KpStringEntry k1035[] = {{101,
                                "You must restart your computer for the changes to take effect. Do "
                                "you want to restart your system now?"},
                               {102, "Korvane Installer"}};
// French
const KpStringEntry k1036[] = {{101,
                                "Redémarrez votre ordinateur pour valider les modifications "
                                "effectuées. Voulez-vous redémarrer le système maintenant?"},
                               {102, "Korvane Installer"}};
// Italian
const KpStringEntry k1040[] = {{101,
                                "Per rendere effettive le modifiche, occorre riavviare il "
                                "computer. Riavviare il computer adesso?"},
                               {102, "Korvane Installer"}};
// Japanese
const KpStringEntry k1041[] = {{101,
                                "変更を有効にするには、コンピュータを再起動させる必要があります。今"
                                "すぐシステムを再起動しますか？"},
                               {102, "Korvane Installer"}};
// Korean
const KpStringEntry k1042[] = {
    {101,
     "변경 사항을 적용하려면 컴퓨터를 다시 시작해야 합니다. 지금 컴퓨터를 다시 시작하시겠습니까?"},
    {102, "Korvane Installer"}};
// Dutch
const KpStringEntry k1043[] = {{101,
                                "U dient uw computer te herstarten om de veranderingen te "
                                "implementeren. Wilt u het systeem nu opnieuw starten?"},
                               {102, "Korvane Installer"}};
// Norwegian (Bokmål)
const KpStringEntry k1044[] = {{101,
                                "Du må starte maskinen på nytt igjen for at disse endringene skal "
                                "tre i kraft. Vil du starte maskinen på nytt nå?"},
                               {102, "Korvane Installer"}};
// Portuguese (Brazil)
const KpStringEntry k1046[] = {{101,
                                "Você deve reiniciar o computador para essas alterações terem "
                                "efeito. Deseja reiniciar seu sistema agora?"},
                               {102, "Korvane Installer"}};
// Swedish
const KpStringEntry k1053[] = {{101,
                                "Du måste starta om datorn för att ändringarna ska träda i kraft. "
                                "Vill du starta om systemet nu?"},
                               {102, "Korvane Installer"}};
// Chinese (Simplified, PRC)
const KpStringEntry k2052[] = {{101, "要使更改生效，必须重新启动计算机。是否要立即重新启动系统？"},
                               {102, "Korvane Installer"}};

const KpStringTable kTables[] = {
    {1028, k1028, 2}, {1030, k1030, 2}, {1031, k1031, 2}, {1033, k1033, 2}, {1034, k1034, 2},
    {1035, k1035, 2}, {1036, k1036, 2}, {1040, k1040, 2}, {1041, k1041, 2}, {1042, k1042, 2},
    {1043, k1043, 2}, {1044, k1044, 2}, {1046, k1046, 2}, {1053, k1053, 2}, {2052, k2052, 2},
};

// Registered before main, as the loader makes a program's resources available.
[[maybe_unused]] const bool kRegistered = [] {
    for (const KpStringTable& table : kTables) KpRegisterStringTable(&table);
    return true;
}();

}  // namespace
