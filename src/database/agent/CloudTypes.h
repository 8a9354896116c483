#pragma once

#include <QMap>
#include <QString>

// Kinds of storage the agent backs up to, with the names the account settings use for them.
namespace KTL::Cloud {

enum Type : int {
    Unknown = 0,
    FileSystem = 1,
    AmazonS3 = 2,
    AzureBlob = 3,
    OracleCloud = 4,
    Rackspace = 5,
    Openstack = 6,
    GoogleStorage = 7,
    SoftLayer = 8,
    HPCloud = 9,
    HPHelion = 10,
    S3Compatible = 11,
    Scality = 12,
    DreamObjects = 13,
    Cloudian = 14,
    ThinkOn = 15,
    Aruba = 16,
    Tiscali = 17,
    Seeweb = 18,
    CenturyLink = 19,
    AmazonS3Chinese = 20,
    Minio = 21,
    Dunkel = 22,
    Connectria = 23,
    HostEurope = 24,
    GreenQloud = 25,
    Constant = 26,
    Webzilla = 27,
    Verizon = 28,
    Wasabi = 29,
    AlibabaCloud = 30,
    iDrive = 31,
    ImpossibleCloud = 32,
    BackBlaze = 33,
    Sftp = 35,
    WasabiStage = 38,
    VRO_CLOUD = 40,
    AmazonS3EU = 41,
    AmazonS3GovCloud = 42,
};

// Type number to the name stored in account settings.
extern const QMap<int, QString> TypeName;

// The type whose name is exactly the text; Unknown when there is none.
Type typeFromName(const QString& name);

}  // namespace KTL::Cloud
