// The reboot question per language, byte for byte.
#pragma once

#include <utility>

inline const std::pair<unsigned, const char*> kExpectedQuestions[] = {
    {1028, "要使更改生效，必須重新啟動電腦。是否要立即重新啟動系統？"},
    {1030,
     "Du skal genstarte computeren før ændringerne træder i kraft. Vil du genstarte computeren "
     "nu?"},
    {1031,
     "Sie müssen den Computer neu starten, damit die Änderungen in Kraft treten. Soll der Computer "
     "jetzt neu gestartet werden?"},
    {1033,
     "You must restart your computer for the changes to take effect. \nDo you want to restart your "
     "system now?"},
    {1034,
     "Es preciso reiniciar el sistema para que los cambios entren en vigor. ¿Desea reiniciar "
     "ahora?"},
    {1035,
     "You must restart your computer for the changes to take effect. Do you want to restart your "
     "system now?"},
    {1036,
     "Redémarrez votre ordinateur pour valider les modifications effectuées. Voulez-vous "
     "redémarrer le système maintenant?"},
    {1040,
     "Per rendere effettive le modifiche, occorre riavviare il computer. Riavviare il computer "
     "adesso?"},
    {1041,
     "変更を有効にするには、コンピュータを再起動させる必要があります。今すぐシステムを再起動します"
     "か？"},
    {1042,
     "변경 사항을 적용하려면 컴퓨터를 다시 시작해야 합니다. 지금 컴퓨터를 다시 시작하시겠습니까?"},
    {1043,
     "U dient uw computer te herstarten om de veranderingen te implementeren. Wilt u het systeem "
     "nu opnieuw starten?"},
    {1044,
     "Du må starte maskinen på nytt igjen for at disse endringene skal tre i kraft. Vil du starte "
     "maskinen på nytt nå?"},
    {1046,
     "Você deve reiniciar o computador para essas alterações terem efeito. Deseja reiniciar seu "
     "sistema agora?"},
    {1053,
     "Du måste starta om datorn för att ändringarna ska träda i kraft. Vill du starta om systemet "
     "nu?"},
    {2052, "要使更改生效，必须重新启动计算机。是否要立即重新启动系统？"},
};
