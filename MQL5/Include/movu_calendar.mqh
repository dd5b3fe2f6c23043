//+------------------------------------------------------------------+
//|                                               movu_calendar.mqh  |
//|   Typed calendar data for MQL5: a strict JSON reader, the day,    |
//|   changes and meta answers as structs, time helpers, recorded     |
//|   days for the Strategy Tester. Needs no DLL.                     |
//+------------------------------------------------------------------+
/*
   The service answers in JSON (docs/calendar-data.md has the schemas).
   MovuParseEvents() turns a day or changes answer into MovuCalendarEvent
   structs, MovuParseMeta() the meta answer; MovuMergeEvents() applies a
   changes answer to a held day. Every time is UTC; MovuUtcToServer()
   moves it to the trade server's clock.

   The reader is strict (RFC 8259): a text it does not accept whole is
   refused with a message, never half read. Nesting deeper than
   MOVU_JSON_MAX_DEPTH is refused too, so a hostile answer cannot exhaust
   the stack (1 MB for indicators).
*/
#ifndef MOVU_CALENDAR_MQH
#define MOVU_CALENDAR_MQH

#ifndef MOVU_JSON_MAX_DEPTH
#define MOVU_JSON_MAX_DEPTH 64
#endif

//--- node types of CMovuJson
#define MOVU_JSON_NULL    0
#define MOVU_JSON_BOOL    1
#define MOVU_JSON_NUMBER  2
#define MOVU_JSON_STRING  3
#define MOVU_JSON_ARRAY   4
#define MOVU_JSON_OBJECT  5

//--- importance of an event
#define MOVU_IMPORTANCE_UNKNOWN 0
#define MOVU_IMPORTANCE_LOW     1
#define MOVU_IMPORTANCE_MEDIUM  2
#define MOVU_IMPORTANCE_HIGH    3

//--- where recorded days live: the terminal's MQL5\Files or the common folder
#define MOVU_RECORD_OFF     0
#define MOVU_RECORD_LOCAL   1
#define MOVU_RECORD_COMMON  2
#ifndef MOVU_RECORD_FILE
#define MOVU_RECORD_FILE    "movu_calendar_days.txt"
#endif

//+------------------------------------------------------------------+
//| One value of a parsed text. Children are linked: first, next.     |
//+------------------------------------------------------------------+
struct MovuJsonNode
  {
   int               type;
   int               first;      // first child (array, object), -1 when none
   int               last;       // last child, for appending
   int               next;       // next sibling, -1 when none
   int               count;      // number of children
   string            key;        // member name, when the parent is an object
   string            text;       // string value
   double            number;
   long              integer;    // the number, when it is whole and fits
   bool              whole;
   bool              flag;       // bool value
  };

//+------------------------------------------------------------------+
//| CMovuJson: parses a whole text into a flat node array.            |
//| Parse() returns false with Error() on anything not strict JSON.   |
//+------------------------------------------------------------------+
class CMovuJson
  {
private:
   MovuJsonNode      m_nodes[];
   int               m_count;
   ushort            m_chars[];
   int               m_len;
   int               m_pos;
   string            m_error;

   int               Add(const int type,const int parent,const string key);
   bool              Fail(const string what);
   void              SkipBlanks(void);
   bool              Value(const int parent,const string key,const int depth);
   bool              Text(string &out);
   bool              Hex4(int &unit);
   bool              Number(const int node);
   bool              Literal(const string word);

public:
                     CMovuJson(void) : m_count(0),m_len(0),m_pos(0) {}
   bool              Parse(const string text);
   string            Error(void) const { return(m_error); }
   int               Root(void) const  { return(m_count>0 ? 0 : -1); }
   int               Type(const int node) const { return(node>=0 && node<m_count ? m_nodes[node].type : -1); }
   int               Count(const int node) const { return(node>=0 && node<m_count ? m_nodes[node].count : 0); }
   int               First(const int node) const { return(node>=0 && node<m_count ? m_nodes[node].first : -1); }
   int               Next(const int node) const { return(node>=0 && node<m_count ? m_nodes[node].next : -1); }
   string            Key(const int node) const { return(node>=0 && node<m_count ? m_nodes[node].key : ""); }
   int               Member(const int object,const string key) const;
   bool              IsNull(const int node) const { return(Type(node)==MOVU_JSON_NULL); }
   bool              GetString(const int node,string &out) const;
   bool              GetNumber(const int node,double &out) const;
   bool              GetLong(const int node,long &out) const;
   bool              GetBool(const int node,bool &out) const;
  };

//+------------------------------------------------------------------+
bool CMovuJson::Parse(const string text)
  {
   m_count=0;
   m_error="";
   m_pos=0;
   ArrayResize(m_chars,0);
   m_len=StringToShortArray(text,m_chars);
//--- the copy ends with a terminating zero; a zero inside is not JSON
   if(m_len>0 && m_chars[m_len-1]==0)
      m_len--;
   SkipBlanks();
   if(!Value(-1,"",0))
      return(false);
   SkipBlanks();
   if(m_pos<m_len)
      return(Fail("text after the value"));
   return(true);
  }

//+------------------------------------------------------------------+
bool CMovuJson::Fail(const string what)
  {
   if(m_error=="")
      m_error=what+" at character "+IntegerToString(m_pos);
   m_count=0;
   return(false);
  }

//+------------------------------------------------------------------+
int CMovuJson::Add(const int type,const int parent,const string key)
  {
   if(m_count>=ArraySize(m_nodes) && ArrayResize(m_nodes,m_count+1,m_count+64)<0)
      return(-1);
   int n=m_count++;
   m_nodes[n].type=type;
   m_nodes[n].first=-1;
   m_nodes[n].last=-1;
   m_nodes[n].next=-1;
   m_nodes[n].count=0;
   m_nodes[n].key=key;
   m_nodes[n].text="";
   m_nodes[n].number=0;
   m_nodes[n].integer=0;
   m_nodes[n].whole=false;
   m_nodes[n].flag=false;
   if(parent>=0)
     {
      if(m_nodes[parent].last>=0)
         m_nodes[m_nodes[parent].last].next=n;
      else
         m_nodes[parent].first=n;
      m_nodes[parent].last=n;
      m_nodes[parent].count++;
     }
   return(n);
  }

//+------------------------------------------------------------------+
void CMovuJson::SkipBlanks(void)
  {
   while(m_pos<m_len)
     {
      ushort c=m_chars[m_pos];
      if(c!=' ' && c!='\t' && c!='\n' && c!='\r')
         return;
      m_pos++;
     }
  }

//+------------------------------------------------------------------+
bool CMovuJson::Literal(const string word)
  {
   int n=StringLen(word);
   if(m_pos+n>m_len)
      return(Fail("truncated text"));
   for(int i=0; i<n; i++)
      if(m_chars[m_pos+i]!=StringGetCharacter(word,i))
         return(Fail("unknown word"));
   m_pos+=n;
   return(true);
  }

//+------------------------------------------------------------------+
//| One value at m_pos, appended to parent under key.                 |
//+------------------------------------------------------------------+
bool CMovuJson::Value(const int parent,const string key,const int depth)
  {
   if(m_pos>=m_len)
      return(Fail("truncated text"));
   ushort c=m_chars[m_pos];
   int node=-1;
   if(c=='{' || c=='[')
     {
      if(depth>=MOVU_JSON_MAX_DEPTH)
         return(Fail("nesting deeper than "+IntegerToString(MOVU_JSON_MAX_DEPTH)));
      bool object=(c=='{');
      ushort close=(object ? '}' : ']');
      node=Add(object ? MOVU_JSON_OBJECT : MOVU_JSON_ARRAY,parent,key);
      if(node<0)
         return(Fail("out of memory"));
      m_pos++;
      SkipBlanks();
      if(m_pos<m_len && m_chars[m_pos]==close)
        {
         m_pos++;
         return(true);
        }
      while(true)
        {
         string name="";
         if(object)
           {
            if(m_pos>=m_len)
               return(Fail("truncated text"));
            if(m_chars[m_pos]!='"')
               return(Fail("member name expected"));
            if(!Text(name))
               return(false);
            if(Member(node,name)>=0)
               return(Fail("member \""+name+"\" given twice"));
            SkipBlanks();
            if(m_pos>=m_len)
               return(Fail("truncated text"));
            if(m_chars[m_pos]!=':')
               return(Fail("':' expected"));
            m_pos++;
            SkipBlanks();
           }
         if(!Value(node,name,depth+1))
            return(false);
         SkipBlanks();
         if(m_pos>=m_len)
            return(Fail("truncated text"));
         if(m_chars[m_pos]==close)
           {
            m_pos++;
            return(true);
           }
         if(m_chars[m_pos]!=',')
            return(Fail("',' expected"));
         m_pos++;
         SkipBlanks();
        }
     }
   if(c=='"')
     {
      string s;
      if(!Text(s))
         return(false);
      node=Add(MOVU_JSON_STRING,parent,key);
      if(node<0)
         return(Fail("out of memory"));
      m_nodes[node].text=s;
      return(true);
     }
   if(c=='t' || c=='f')
     {
      if(!Literal(c=='t' ? "true" : "false"))
         return(false);
      node=Add(MOVU_JSON_BOOL,parent,key);
      if(node<0)
         return(Fail("out of memory"));
      m_nodes[node].flag=(c=='t');
      return(true);
     }
   if(c=='n')
     {
      if(!Literal("null"))
         return(false);
      return(Add(MOVU_JSON_NULL,parent,key)>=0 || Fail("out of memory"));
     }
   node=Add(MOVU_JSON_NUMBER,parent,key);
   if(node<0)
      return(Fail("out of memory"));
   return(Number(node));
  }

//+------------------------------------------------------------------+
bool CMovuJson::Hex4(int &unit)
  {
   unit=0;
   if(m_pos+4>m_len)
      return(Fail("truncated text"));
   for(int i=0; i<4; i++)
     {
      ushort c=m_chars[m_pos++];
      int d=-1;
      if(c>='0' && c<='9')
         d=c-'0';
      else if(c>='a' && c<='f')
         d=c-'a'+10;
      else if(c>='A' && c<='F')
         d=c-'A'+10;
      if(d<0)
         return(Fail("bad \\u escape"));
      unit=unit*16+d;
     }
   return(true);
  }

//+------------------------------------------------------------------+
//| A string from its opening quote; runs without escapes are copied  |
//| whole.                                                            |
//+------------------------------------------------------------------+
bool CMovuJson::Text(string &out)
  {
   out="";
   m_pos++;
   int run=m_pos;
   while(m_pos<m_len)
     {
      ushort c=m_chars[m_pos];
      if(c=='"')
        {
         if(m_pos>run)
            out+=ShortArrayToString(m_chars,run,m_pos-run);
         m_pos++;
         return(true);
        }
      if(c<0x20)
         return(Fail("control character in a string"));
      if(c!='\\')
        {
         m_pos++;
         continue;
        }
      if(m_pos>run)
         out+=ShortArrayToString(m_chars,run,m_pos-run);
      m_pos++;
      if(m_pos>=m_len)
         return(Fail("truncated text"));
      ushort e=m_chars[m_pos++];
      ushort unit=0;
      switch(e)
        {
         case '"':  unit='"';  break;
         case '\\': unit='\\'; break;
         case '/':  unit='/';  break;
         case 'b':  unit=8;    break;
         case 'f':  unit=12;   break;
         case 'n':  unit=10;   break;
         case 'r':  unit=13;   break;
         case 't':  unit=9;    break;
         case 'u':
           {
            int value=0;
            if(!Hex4(value))
               return(false);
            //--- an MQL5 string ends at a zero unit: refuse rather than cut
            if(value==0)
               return(Fail("\\u0000 in a string"));
            unit=(ushort)value;
            break;
           }
         default:
            return(Fail("bad escape"));
        }
      out+=ShortToString(unit);
      run=m_pos;
     }
   return(Fail("truncated text"));
  }

//+------------------------------------------------------------------+
//| -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?                     |
//| The value is computed here rather than by StringToDouble, so the  |
//| result does not depend on the terminal's number reading.          |
//+------------------------------------------------------------------+
bool CMovuJson::Number(const int node)
  {
   bool negative=false;
   if(m_chars[m_pos]=='-')
     {
      negative=true;
      m_pos++;
     }
   if(m_pos>=m_len)
      return(Fail("truncated text"));
   if(m_chars[m_pos]<'0' || m_chars[m_pos]>'9')
      return(Fail("value expected"));
   double mantissa=0;
   long whole=0;          // minus the digits so far
   bool fits=true;
   int digits=0;          // significant digits taken into the mantissa
   int scale=0;           // power of ten the mantissa is off by
   if(m_chars[m_pos]=='0')
     {
      m_pos++;
      if(m_pos<m_len && m_chars[m_pos]>='0' && m_chars[m_pos]<='9')
         return(Fail("leading zero"));
     }
   else
      while(m_pos<m_len && m_chars[m_pos]>='0' && m_chars[m_pos]<='9')
        {
         int d=m_chars[m_pos++]-'0';
         //--- counted below zero, so LONG_MIN fits too
         if(whole<(LONG_MIN+d)/10)
            fits=false;
         else
            whole=whole*10-d;
         if(digits<17)
           {
            mantissa=mantissa*10+d;
            if(mantissa>0)
               digits++;
           }
         else
            scale++;
        }
   bool integral=true;
   if(m_pos<m_len && m_chars[m_pos]=='.')
     {
      integral=false;
      m_pos++;
      if(m_pos>=m_len)
         return(Fail("truncated text"));
      if(m_chars[m_pos]<'0' || m_chars[m_pos]>'9')
         return(Fail("digit expected after '.'"));
      while(m_pos<m_len && m_chars[m_pos]>='0' && m_chars[m_pos]<='9')
        {
         int d=m_chars[m_pos++]-'0';
         if(digits<17)
           {
            mantissa=mantissa*10+d;
            scale--;
            if(mantissa>0)
               digits++;
           }
        }
     }
   if(m_pos<m_len && (m_chars[m_pos]=='e' || m_chars[m_pos]=='E'))
     {
      integral=false;
      m_pos++;
      int sign=1;
      if(m_pos<m_len && (m_chars[m_pos]=='+' || m_chars[m_pos]=='-'))
        {
         sign=(m_chars[m_pos]=='-' ? -1 : 1);
         m_pos++;
        }
      if(m_pos>=m_len)
         return(Fail("truncated text"));
      if(m_chars[m_pos]<'0' || m_chars[m_pos]>'9')
         return(Fail("digit expected in the exponent"));
      int exponent=0;
      while(m_pos<m_len && m_chars[m_pos]>='0' && m_chars[m_pos]<='9')
        {
         if(exponent<100000)
            exponent=exponent*10+(m_chars[m_pos]-'0');
         m_pos++;
        }
      scale+=sign*exponent;
     }
//--- dividing by an exact power of ten rounds once, so 0.1 is the double 0.1
   double value=mantissa;
   if(value!=0 && scale>0)
      value=(scale>400 ? MathPow(10,400) : value*MathPow(10,scale));
   else if(value!=0 && scale<0)
      value=(scale<-400 ? 0 : (scale<-300 ? value/MathPow(10,-scale-300)/MathPow(10,300) : value/MathPow(10,-scale)));
   if(!MathIsValidNumber(value))
      return(Fail("number out of range"));
   m_nodes[node].number=(negative ? -value : value);
   if(integral && fits && (negative || whole!=LONG_MIN))
     {
      m_nodes[node].whole=true;
      m_nodes[node].integer=(negative ? whole : -whole);
     }
   return(true);
  }

//+------------------------------------------------------------------+
int CMovuJson::Member(const int object,const string key) const
  {
   if(Type(object)!=MOVU_JSON_OBJECT)
      return(-1);
   for(int n=m_nodes[object].first; n>=0; n=m_nodes[n].next)
      if(m_nodes[n].key==key)
         return(n);
   return(-1);
  }

//+------------------------------------------------------------------+
bool CMovuJson::GetString(const int node,string &out) const
  {
   if(Type(node)!=MOVU_JSON_STRING)
      return(false);
   out=m_nodes[node].text;
   return(true);
  }

//+------------------------------------------------------------------+
bool CMovuJson::GetNumber(const int node,double &out) const
  {
   if(Type(node)!=MOVU_JSON_NUMBER)
      return(false);
   out=m_nodes[node].number;
   return(true);
  }

//+------------------------------------------------------------------+
bool CMovuJson::GetLong(const int node,long &out) const
  {
   if(Type(node)!=MOVU_JSON_NUMBER || !m_nodes[node].whole)
      return(false);
   out=m_nodes[node].integer;
   return(true);
  }

//+------------------------------------------------------------------+
bool CMovuJson::GetBool(const int node,bool &out) const
  {
   if(Type(node)!=MOVU_JSON_BOOL)
      return(false);
   out=m_nodes[node].flag;
   return(true);
  }

//+------------------------------------------------------------------+
//| A text as a JSON string, quotes included, for request bodies.     |
//+------------------------------------------------------------------+
string MovuJsonString(const string text)
  {
   string out="\"";
   int n=StringLen(text);
   int run=0;
   for(int i=0; i<n; i++)
     {
      ushort c=StringGetCharacter(text,i);
      string escaped="";
      if(c=='"')
         escaped="\\\"";
      else if(c=='\\')
         escaped="\\\\";
      else if(c=='\n')
         escaped="\\n";
      else if(c=='\r')
         escaped="\\r";
      else if(c=='\t')
         escaped="\\t";
      else if(c<0x20)
         escaped=StringFormat("\\u%04x",c);
      else
         continue;
      out+=StringSubstr(text,run,i-run)+escaped;
      run=i+1;
     }
   return(out+StringSubstr(text,run)+"\"");
  }

//+------------------------------------------------------------------+
//| Seconds since 1970 of a UTC calendar day (proleptic Gregorian).   |
//+------------------------------------------------------------------+
long MovuDaysFromCivil(int year,const int month,const int day)
  {
   if(month<=2)
      year--;
   long era=(year>=0 ? year : year-399)/400;
   long yoe=year-era*400;
   long mp=(month+9)%12;
   long doy=(153*mp+2)/5+day-1;
   long doe=yoe*365+yoe/4-yoe/100+doy;
   return(era*146097+doe-719468);
  }

//+------------------------------------------------------------------+
int MovuDaysInMonth(const int year,const int month)
  {
   if(month==2)
      return((year%4==0 && (year%100!=0 || year%400==0)) ? 29 : 28);
   return((month==4 || month==6 || month==9 || month==11) ? 30 : 31);
  }

//+------------------------------------------------------------------+
//| Digits at text[at..at+count) as a number; -1 when not all digits. |
//+------------------------------------------------------------------+
int MovuDigits(const string text,const int at,const int count)
  {
   if(at+count>StringLen(text))
      return(-1);
   int value=0;
   for(int i=at; i<at+count; i++)
     {
      ushort c=StringGetCharacter(text,i);
      if(c<'0' || c>'9')
         return(-1);
      value=value*10+(c-'0');
     }
   return(value);
  }

//+------------------------------------------------------------------+
//| An RFC 3339 time ("2024-03-05T13:30:00Z", "...T15:30:00.5+02:00") |
//| as UTC. False for anything else, including a time with no zone.   |
//+------------------------------------------------------------------+
bool MovuParseTime(const string text,datetime &utc)
  {
   int len=StringLen(text);
   if(len<20)
      return(false);
   int year=MovuDigits(text,0,4),month=MovuDigits(text,5,2),day=MovuDigits(text,8,2);
   int hour=MovuDigits(text,11,2),minute=MovuDigits(text,14,2),second=MovuDigits(text,17,2);
   ushort t=StringGetCharacter(text,10);
   if(year<0 || month<1 || month>12 || day<1 || hour<0 || hour>23 || minute<0 || minute>59 ||
      second<0 || second>60 || StringGetCharacter(text,4)!='-' || StringGetCharacter(text,7)!='-' ||
      (t!='T' && t!='t' && t!=' ') || StringGetCharacter(text,13)!=':' || StringGetCharacter(text,16)!=':')
      return(false);
   if(day>MovuDaysInMonth(year,month))
      return(false);
   int i=19;
   if(StringGetCharacter(text,i)=='.')
     {
      i++;
      int start=i;
      while(i<len && StringGetCharacter(text,i)>='0' && StringGetCharacter(text,i)<='9')
         i++;
      if(i==start)
         return(false);
     }
   if(i>=len)
      return(false);
   ushort zone=StringGetCharacter(text,i);
   int offset=0;
   if(zone=='Z' || zone=='z')
      i++;
   else if(zone=='+' || zone=='-')
     {
      int oh=MovuDigits(text,i+1,2),om=MovuDigits(text,i+4,2);
      if(oh<0 || oh>23 || om<0 || om>59 || StringGetCharacter(text,i+3)!=':')
         return(false);
      offset=(oh*3600+om*60)*(zone=='-' ? -1 : 1);
      i+=6;
     }
   else
      return(false);
   if(i!=len)
      return(false);
//--- a leap second counts as the last second of its minute
   if(second==60)
      second=59;
   utc=(datetime)(MovuDaysFromCivil(year,month,day)*86400+hour*3600+minute*60+second-offset);
   return(true);
  }

//+------------------------------------------------------------------+
//| A time member: a string in RFC 3339 or whole seconds since 1970.  |
//+------------------------------------------------------------------+
bool MovuJsonTime(const CMovuJson &json,const int node,datetime &utc)
  {
   string text;
   long seconds=0;
   if(json.GetString(node,text))
      return(MovuParseTime(text,utc));
   if(json.GetLong(node,seconds) && seconds>=0)
     {
      utc=(datetime)seconds;
      return(true);
     }
   return(false);
  }

//+------------------------------------------------------------------+
//| The trade server's offset from UTC in seconds, in steps of 15     |
//| minutes. TimeGMT() equals the server time in the Strategy Tester, |
//| so there the program gives the offset (tester_offset).            |
//+------------------------------------------------------------------+
int MovuServerOffset(const int tester_offset=0)
  {
   if(MQLInfoInteger(MQL_TESTER))
      return(tester_offset);
   long difference=(long)(TimeTradeServer()-TimeGMT());
   return((int)MathRound(difference/900.0)*900);
  }

//+------------------------------------------------------------------+
//| The current UTC time; in the tester, from the simulated server    |
//| time and the offset the program gives.                            |
//+------------------------------------------------------------------+
datetime MovuNowUtc(const int tester_offset=0)
  {
   if(MQLInfoInteger(MQL_TESTER))
      return(TimeCurrent()-tester_offset);
   return(TimeGMT());
  }

//+------------------------------------------------------------------+
datetime MovuUtcToServer(const datetime utc,const int offset_seconds)
  {
   return(utc+offset_seconds);
  }

//+------------------------------------------------------------------+
//| One calendar event. Times are UTC; a value the answer does not    |
//| give (missing, null or "") has its has_ flag false.               |
//+------------------------------------------------------------------+
struct MovuCalendarEvent
  {
   long              id;
   string            event;       // kind of release, e.g. "cpi-yy"
   string            title;
   string            currency;
   int               importance;  // MOVU_IMPORTANCE_*
   string            source;
   string            unit;
   datetime          time;
   double            actual;
   double            forecast;
   double            previous;
   bool              has_actual;
   bool              has_forecast;
   bool              has_previous;
   datetime          updated;     // last revision; 0 when not given
  };

struct MovuCurrency
  {
   string            code;
   string            name;
   string            symbol;
  };

struct MovuSource
  {
   string            id;
   string            name;
  };

//--- a kind of event the calendar knows (meta answer)
struct MovuEventKind
  {
   string            event;
   string            title;
   string            currency;
   int               importance;
   string            unit;
   string            time;        // usual release time, "HH:MM" UTC
   int               weekdays;    // bit d set: released on weekday d (0 Monday .. 6 Sunday)
  };

//+------------------------------------------------------------------+
int MovuImportance(const CMovuJson &json,const int node)
  {
   string text;
   long level=0;
   if(json.GetString(node,text))
     {
      StringToLower(text);
      if(text=="low")
         return(MOVU_IMPORTANCE_LOW);
      if(text=="medium" || text=="moderate")
         return(MOVU_IMPORTANCE_MEDIUM);
      if(text=="high")
         return(MOVU_IMPORTANCE_HIGH);
     }
   else if(json.GetLong(node,level) && level>=MOVU_IMPORTANCE_LOW && level<=MOVU_IMPORTANCE_HIGH)
      return((int)level);
   return(MOVU_IMPORTANCE_UNKNOWN);
  }

//+------------------------------------------------------------------+
//| An optional text member: false only when present and no string.  |
//+------------------------------------------------------------------+
bool MovuOptionalText(const CMovuJson &json,const int object,const string key,string &out)
  {
   out="";
   int node=json.Member(object,key);
   return(node<0 || json.IsNull(node) || json.GetString(node,out));
  }

//+------------------------------------------------------------------+
//| An optional number: a number, or missing/null/"" for no value.    |
//+------------------------------------------------------------------+
bool MovuOptionalNumber(const CMovuJson &json,const int object,const string key,double &value,bool &has)
  {
   value=0;
   has=false;
   int node=json.Member(object,key);
   string text;
   if(node<0 || json.IsNull(node) || (json.GetString(node,text) && text==""))
      return(true);
   has=json.GetNumber(node,value);
   return(has);
  }

//+------------------------------------------------------------------+
//| The root object of an answer; false with the service's error.     |
//+------------------------------------------------------------------+
bool MovuAnswerRoot(CMovuJson &json,const string text,int &root,string &error)
  {
   root=-1;
   if(!json.Parse(text))
     {
      error="not JSON: "+json.Error();
      return(false);
     }
   root=json.Root();
   if(json.Type(root)!=MOVU_JSON_OBJECT)
     {
      error="the answer is not an object";
      return(false);
     }
   bool ok=true;
   int okNode=json.Member(root,"ok");
   if(okNode>=0 && (!json.GetBool(okNode,ok) || !ok))
     {
      string code="";
      json.GetString(json.Member(root,"error"),code);
      error="the service refused: "+(code!="" ? code : "no error code");
      return(false);
     }
   return(true);
  }

//+------------------------------------------------------------------+
//| One event object. Required: id (whole number), title, time.       |
//+------------------------------------------------------------------+
bool MovuReadEvent(const CMovuJson &json,const int node,MovuCalendarEvent &e,string &error)
  {
   e.id=0;
   e.importance=MOVU_IMPORTANCE_UNKNOWN;
   e.time=0;
   e.updated=0;
   if(json.Type(node)!=MOVU_JSON_OBJECT)
     {
      error="not an object";
      return(false);
     }
   if(!json.GetLong(json.Member(node,"id"),e.id))
     {
      error="no whole-number id";
      return(false);
     }
   if(!json.GetString(json.Member(node,"title"),e.title))
     {
      error="no title";
      return(false);
     }
   int when=json.Member(node,"time");
   if(when<0)
      when=json.Member(node,"timestamp");
   if(!MovuJsonTime(json,when,e.time))
     {
      error="no time (RFC 3339 with a zone, or seconds)";
      return(false);
     }
   int updated=json.Member(node,"updated_at");
   if(updated>=0 && !json.IsNull(updated) && !MovuJsonTime(json,updated,e.updated))
     {
      error="updated_at is not a time";
      return(false);
     }
   e.importance=MovuImportance(json,json.Member(node,"importance"));
   if(!MovuOptionalText(json,node,"event",e.event) || !MovuOptionalText(json,node,"currency",e.currency) ||
      !MovuOptionalText(json,node,"source",e.source) || !MovuOptionalText(json,node,"unit",e.unit))
     {
      error="a text member is not a string";
      return(false);
     }
   if(!MovuOptionalNumber(json,node,"actual",e.actual,e.has_actual) ||
      !MovuOptionalNumber(json,node,"forecast",e.forecast,e.has_forecast) ||
      !MovuOptionalNumber(json,node,"previous",e.previous,e.has_previous))
     {
      error="actual, forecast or previous is not a number";
      return(false);
     }
   return(true);
  }

//+------------------------------------------------------------------+
//| A day or changes answer as events, in the answer's order. On      |
//| failure events is left empty and error says why.                  |
//+------------------------------------------------------------------+
bool MovuParseEvents(const string text,MovuCalendarEvent &events[],string &error)
  {
   ArrayResize(events,0);
   error="";
   CMovuJson json;
   int root=-1;
   if(!MovuAnswerRoot(json,text,root,error))
      return(false);
   int list=json.Member(root,"events");
   if(json.Type(list)!=MOVU_JSON_ARRAY)
     {
      error="no events array";
      return(false);
     }
   if(ArrayResize(events,json.Count(list))<0)
     {
      error="out of memory";
      return(false);
     }
   int i=0;
   for(int node=json.First(list); node>=0; node=json.Next(node))
     {
      string why="";
      if(!MovuReadEvent(json,node,events[i],why))
        {
         error="event "+IntegerToString(i)+": "+why;
         ArrayResize(events,0);
         return(false);
        }
      i++;
     }
   return(true);
  }

//+------------------------------------------------------------------+
//| The meta answer: currencies, sources and the kinds of event.      |
//+------------------------------------------------------------------+
bool MovuParseMeta(const string text,MovuCurrency &currencies[],MovuSource &sources[],
                   MovuEventKind &kinds[],string &error)
  {
   ArrayResize(currencies,0);
   ArrayResize(sources,0);
   ArrayResize(kinds,0);
   error="";
   CMovuJson json;
   int root=-1;
   if(!MovuAnswerRoot(json,text,root,error))
      return(false);
   int c=json.Member(root,"currencies"),s=json.Member(root,"sources"),k=json.Member(root,"events");
   if(json.Type(c)!=MOVU_JSON_ARRAY || json.Type(s)!=MOVU_JSON_ARRAY || json.Type(k)!=MOVU_JSON_ARRAY)
     {
      error="currencies, sources or events is not an array";
      return(false);
     }
   ArrayResize(currencies,json.Count(c));
   ArrayResize(sources,json.Count(s));
   ArrayResize(kinds,json.Count(k));
   bool ok=true;
   int i=0;
   for(int n=json.First(c); n>=0 && ok; n=json.Next(n),i++)
      ok=json.GetString(json.Member(n,"code"),currencies[i].code) &&
         MovuOptionalText(json,n,"name",currencies[i].name) && MovuOptionalText(json,n,"symbol",currencies[i].symbol);
   i=0;
   for(int n=json.First(s); n>=0 && ok; n=json.Next(n),i++)
      ok=json.GetString(json.Member(n,"id"),sources[i].id) && MovuOptionalText(json,n,"name",sources[i].name);
   i=0;
   for(int n=json.First(k); n>=0 && ok; n=json.Next(n),i++)
     {
      ok=json.GetString(json.Member(n,"event"),kinds[i].event) && MovuOptionalText(json,n,"title",kinds[i].title) &&
         MovuOptionalText(json,n,"currency",kinds[i].currency) && MovuOptionalText(json,n,"unit",kinds[i].unit) &&
         MovuOptionalText(json,n,"time",kinds[i].time);
      kinds[i].importance=MovuImportance(json,json.Member(n,"importance"));
      kinds[i].weekdays=0;
      int days=json.Member(n,"weekdays");
      for(int d=json.First(days); d>=0 && ok; d=json.Next(d))
        {
         long day=-1;
         ok=(json.GetLong(d,day) && day>=0 && day<=6);
         if(ok)
            kinds[i].weekdays|=(1<<(int)day);
        }
     }
   if(!ok)
     {
      error="a currency, source or event kind lacks a member or has one of the wrong type";
      ArrayResize(currencies,0);
      ArrayResize(sources,0);
      ArrayResize(kinds,0);
     }
   return(ok);
  }

//+------------------------------------------------------------------+
//| Applies changes to a held day: an event of the same id is         |
//| replaced, a new one added; the day stays sorted by time, then id. |
//| Returns how many events were replaced or added.                   |
//+------------------------------------------------------------------+
int MovuMergeEvents(MovuCalendarEvent &day[],const MovuCalendarEvent &changes[])
  {
   int applied=0;
   int n=ArraySize(changes);
   for(int c=0; c<n; c++)
     {
      int size=ArraySize(day);
      int at=size;
      for(int i=0; i<size; i++)
         if(day[i].id==changes[c].id)
           {
            at=i;
            break;
           }
      if(at==size && ArrayResize(day,size+1,16)<0)
         break;
      day[at]=changes[c];
      applied++;
      //--- move it to its place: the rest is sorted already
      while(at>0 && (day[at-1].time>day[at].time || (day[at-1].time==day[at].time && day[at-1].id>day[at].id)))
        {
         MovuCalendarEvent swap=day[at-1];
         day[at-1]=day[at];
         day[at]=swap;
         at--;
        }
      int last=ArraySize(day)-1;
      while(at<last && (day[at+1].time<day[at].time || (day[at+1].time==day[at].time && day[at+1].id<day[at].id)))
        {
         MovuCalendarEvent swap=day[at+1];
         day[at+1]=day[at];
         day[at]=swap;
         at++;
        }
     }
   return(applied);
  }

//+------------------------------------------------------------------+
//| The "since" for the next changes request: the latest revision the |
//| held day knows (the service's clock, not this computer's).        |
//+------------------------------------------------------------------+
datetime MovuLatestUpdate(const MovuCalendarEvent &events[])
  {
   datetime latest=0;
   int n=ArraySize(events);
   for(int i=0; i<n; i++)
     {
      datetime t=(events[i].updated>0 ? events[i].updated : events[i].time);
      if(t>latest)
         latest=t;
     }
   return(latest);
  }

//+------------------------------------------------------------------+
//| Recorded days: one file, one line per fetched day answer,         |
//| "YYYY-MM-DD<tab>answer". The last line of a date wins. A JSON     |
//| text holds a line break only as white space, so it is replaced.   |
//+------------------------------------------------------------------+
int MovuRecordFlags(const int where)
  {
   return(FILE_TXT|FILE_ANSI|FILE_SHARE_READ|(where==MOVU_RECORD_COMMON ? FILE_COMMON : 0));
  }

//+------------------------------------------------------------------+
bool MovuRecordDay(const int where,const string date,const string answer)
  {
   if(where==MOVU_RECORD_OFF || StringLen(date)!=10)
      return(false);
   string line=answer;
   StringReplace(line,"\r"," ");
   StringReplace(line,"\n"," ");
   int h=FileOpen(MOVU_RECORD_FILE,FILE_READ|FILE_WRITE|MovuRecordFlags(where),0,CP_UTF8);
   if(h==INVALID_HANDLE)
      return(false);
   bool ok=FileSeek(h,0,SEEK_END);
   ok=ok && FileWriteString(h,date+"\t"+line+"\r\n")>0;
   FileClose(h);
   return(ok);
  }

//+------------------------------------------------------------------+
//| The recorded answer of a date; false when none was recorded.      |
//+------------------------------------------------------------------+
bool MovuRecordedDay(const int where,const string date,string &answer)
  {
   answer="";
   if(where==MOVU_RECORD_OFF)
      return(false);
   int h=FileOpen(MOVU_RECORD_FILE,FILE_READ|MovuRecordFlags(where),0,CP_UTF8);
   if(h==INVALID_HANDLE)
      return(false);
   bool found=false;
   string prefix=date+"\t";
   while(!FileIsEnding(h))
     {
      string line=FileReadString(h);
      if(StringFind(line,prefix)==0)
        {
         answer=StringSubstr(line,StringLen(prefix));
         found=true;
        }
     }
   FileClose(h);
   return(found);
  }

#endif // MOVU_CALENDAR_MQH
//+------------------------------------------------------------------+
