<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr">
<context>
    <name>QObject</name>
    <message>
        <source>Choose an action type:
</source>
        <translation>Choisissez un type d’action :
</translation>
    </message>
    <message>
        <source>get boot list</source>
        <translation>afficher la liste de démarrage</translation>
    </message>
    <message>
        <source>rollback notification</source>
        <translation>notification de retour en arrière</translation>
    </message>
    <message>
        <source>Backup and Restore</source>
        <translation>Sauvegarde et restauration</translation>
    </message>
    <message>
        <source>System Recovery</source>
        <translation>Récupération du système</translation>
    </message>
</context>
<context>
    <name>RollbackNotify</name>
    <message>
        <source>Your system is successfully rolled back to %1.</source>
        <translation>Votre système a bien été restauré à la version %1.</translation>
    </message>
    <message>
        <source>Rollback failed. The system is reverted to %1.</source>
        <translation>Le retour en arrière a échoué. Le système reste à la version %1.</translation>
    </message>
</context>
</TS>
